#include "sites/sites.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <numeric>
#include <stdexcept>

#include "sites/archive.h"
#include "sites/knowledge/data_file.h"
#include "sites/knowledge/page_text.h"
#include "sites/pages.h"
#include "sites/strings.h"

namespace qelvora::sites {
namespace {

Reply utf8Page(int status, std::string page) {
  return {status, "text/html; charset=utf-8", {}, std::move(page), nullptr};
}

Reply gbkPage(const std::string& page) {
  auto gbk = utf8ToGbk(page);
  // The corpus is checked for GBK at load and questions come in as GBK, so this cannot happen
  // unless something is badly wrong; never send a half-converted page.
  if (!gbk) throw std::runtime_error("page cannot be written in GBK");
  return {200, "text/html; charset=gbk", {}, std::move(*gbk), nullptr};
}

Reply notFound() {
  return utf8Page(404, errorPage(404, "没有这个页面"));
}

Reply badRequest(std::string_view why) {
  return utf8Page(400, errorPage(400, why));
}

Reply picture(const Picture& p) {
  return {200, p.mimeType, {}, {}, &p.bytes};
}

// "http://host[:port]" for the absolute addresses of the software site. The Host header is used
// only when it looks like a host name or address, so that it cannot smuggle markup into a page.
std::string baseUrl(const Request& req) {
  std::string_view host = req.host;
  bool plausible = !host.empty() && host.size() <= 255;
  for (char c : host) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) plausible = false;
  }
  return "http://" + std::string(plausible ? host : req.localAddress);
}

// Valid UTF-8 without a control byte but TAB, LF and CR. The program's texts never hold a NUL, and
// it would end the page early for anyone who reads pages up to their first NUL; any other control
// byte echoed into a page could steer a terminal that shows the page.
bool isQuestionText(const std::string& text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
  }
  return decodeUtf8(text).has_value();
}

// The KEY of a path that reads prefix + KEY + suffix, where KEY is one or more letters and digits
// (and "-" and "_" when dashes); empty when the path is not of that form.
std::string_view keyIn(std::string_view path, std::string_view prefix, std::string_view suffix,
                       bool dashes = true) {
  if (path.size() <= prefix.size() + suffix.size() || !path.starts_with(prefix) ||
      !path.ends_with(suffix))
    return {};
  const std::string_view key =
      path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  for (char c : key) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (dashes && (c == '-' || c == '_'));
    if (!ok) return {};
  }
  return key;
}

template <typename T>
const T* findByKey(const std::vector<T>& list, std::string_view key) {
  for (const auto& item : list)
    if (item.key == key) return &item;
  return nullptr;
}

using knowledge::Document;
using knowledge::Site;

// The corpus as documents, so that one index ranks it with the installed knowledge: titles and
// keywords as the data's titles and names.
Document corpusDocument(Site site, const std::string& key, const std::string& title,
                        std::string body, std::vector<std::string> names) {
  Document d;
  d.site = site;
  d.key = key;
  d.title = title;
  d.body = std::move(body);
  d.names = std::move(names);
  return d;
}

std::vector<Document> corpusDocuments(const Corpus& corpus) {
  std::vector<Document> docs;
  for (const QaEntry& e : corpus.fuzzy)
    docs.push_back(
        corpusDocument(Site::fuzzy, e.key, e.question, stripTags(e.answer) + "\n" + e.other, {}));
  for (const QaEntry& e : corpus.exact)
    docs.push_back(
        corpusDocument(Site::exact, e.key, e.question, e.answer + "\n" + e.other, e.keywords));
  for (const Program& p : corpus.software) {
    std::vector<std::string> names = p.keywords;
    names.push_back(p.name);
    names.push_back(p.latin);
    docs.push_back(corpusDocument(Site::software, p.key, p.name + " " + p.latin,
                                  stripTags(p.description), std::move(names)));
  }
  return docs;
}

// A document of the installed knowledge in the shape of a corpus entry, its texts made safe for
// the pages.
QaEntry fuzzyEntry(const Document& d) {
  QaEntry e;
  e.key = d.key;
  e.question = knowledge::fuzzyTitle(d);
  e.answer = knowledge::fuzzyAnswerMarkup(d);
  return e;
}

QaEntry exactEntry(const Document& d) {
  QaEntry e;
  e.key = d.key;
  e.question = knowledge::exactTitle(d);
  e.answer = knowledge::exactAnswerText(d);
  return e;
}

Program softwareEntry(const Document& d) {
  Program p;
  p.key = d.key;
  p.name = knowledge::softwareName(d);
  p.version = knowledge::toGbkRepertoire(d.version, nullptr);
  p.description = knowledge::softwareDescriptionMarkup(d);
  p.category = "Debian";
  return p;
}

// A document as a search list shows it: only the first words of its text are seen there, so the
// rest is not made into a page's answer for nothing.
Document listed(Document d) {
  constexpr size_t kListedBytes = 2048;
  if (d.body.size() > kListedBytes) {
    size_t end = kListedBytes;
    while (end > 0 && (static_cast<unsigned char>(d.body[end]) & 0xC0) == 0x80) --end;
    d.body.resize(end);
  }
  return d;
}

// Where a package's download is: its home page, or its page in Debian's package directory.
std::string downloadAddress(const Document& d) {
  if (d.homepage.starts_with("http://") || d.homepage.starts_with("https://")) {
    bool plain = true;
    for (char c : d.homepage)
      if (static_cast<unsigned char>(c) <= 0x20 || c == '"' || c == '\'' || c == '<' || c == '>' ||
          c == '&' || c == 0x7F)
        plain = false;
    if (plain) return d.homepage;
  }
  std::string name = d.names.empty() ? d.key : d.names.front();
  return "https://packages.debian.org/stable/" + name;
}

std::vector<size_t> allOf(size_t n) {
  std::vector<size_t> indices(n);
  std::iota(indices.begin(), indices.end(), size_t(0));
  return indices;
}

// An icon file of the system, sent as the package's screenshot; none when it is not a PNG file of
// a sensible size.
std::optional<Reply> iconFile(const Document& d) {
  if (d.picture.empty()) return std::nullopt;
  knowledge::Skipped skipped;
  auto bytes = knowledge::readDataFile(d.picture, skipped, 1 << 20);
  if (!bytes || !bytes->starts_with("\x89PNG\r\n\x1a\n")) return std::nullopt;
  return Reply{200, "image/png", {}, std::move(*bytes), nullptr};
}

}  // namespace

Sites::Sites(Corpus corpus, knowledge::Synonyms synonyms)
    : corpus_(std::move(corpus)),
      synonyms_(std::move(synonyms)),
      corpusIndex_(knowledge::Index::inMemory(corpusDocuments(corpus_))),
      index_(corpusIndex_) {
  // The programs' pictures are most of the start-up: they are drawn side by side (each image is
  // its own, and the fonts are read-only).
  std::mutex made;
  std::vector<std::future<void>> drawing;
  for (const Program& p : corpus_.software)
    drawing.push_back(std::async(std::launch::async, [this, &made, &p] {
      Picture shot = drawScreenshot(p), icon = drawIcon(p);
      std::string zip = makeZip({{"readme.txt", softwareReadme(p)}});
      std::lock_guard lock(made);
      shots_[p.key] = std::move(shot);
      icons_[p.key] = std::move(icon);
      archives_[p.key] = std::move(zip);
    }));
  for (auto& done : drawing) done.get();
}

void Sites::setKnowledge(const knowledge::Index& installed) {
  std::atomic_store(&index_, knowledge::Index::combine(*corpusIndex_, installed));
}

std::vector<Document> Sites::search(Site site, std::string_view question) const {
  constexpr size_t kShown = 10;
  return std::atomic_load(&index_)->search(site, knowledge::analyseQuestion(question, synonyms_),
                                           kShown);
}

std::optional<Document> Sites::find(Site site, std::string_view key) const {
  return std::atomic_load(&index_)->find(site, key);
}

Reply Sites::respond(const Request& request) const {
  if (request.method != "GET" && request.method != "HEAD") return {404, {}, {}, {}, nullptr};
  // A target whose escapes do not decode is refused before any route sees it.
  auto target = decodeTarget(request.target);
  if (!target) return badRequest("请求地址的格式有误");
  try {
    return route(request, *target);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvora-sites: request failed: %s\n", e.what());
    return utf8Page(500, errorPage(500, "服务器内部错误"));
  }
}

Reply Sites::route(const Request& request, const Target& target) const {
  const std::string& path = target.path;
  std::string_view key;

  if (path == "/") return utf8Page(200, homePage(corpus_));

  if (path == "/special/time/") {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    Reply reply = utf8Page(200, timePage(ms));
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
  }

  // Fuzzy site.
  if (path == "/search/") {
    const std::string q = fieldValue(target.fields, "q");
    if (!isQuestionText(q)) return badRequest("问题不是有效的 UTF-8 文字或含有控制字符");
    std::vector<QaEntry> found;
    for (const Document& d : search(Site::fuzzy, q)) {
      const QaEntry* e = findByKey(corpus_.fuzzy, d.key);
      found.push_back(e ? *e : fuzzyEntry(listed(d)));
    }
    return utf8Page(200, fuzzySearchPage(q, found, allOf(found.size())));
  }
  if (!(key = keyIn(path, "/q/", "")).empty()) {
    if (const QaEntry* e = findByKey(corpus_.fuzzy, key)) return utf8Page(200, fuzzyAnswerPage(*e));
    const auto d = find(Site::fuzzy, key);
    return d ? utf8Page(200, fuzzyAnswerPage(fuzzyEntry(*d))) : notFound();
  }
  if (!(key = keyIn(path, "/ad/", "", false)).empty())
    return hasSponsor(key) ? utf8Page(200, sponsoredPage(key)) : notFound();

  // Exact site.
  if (path == "/s/") {
    const std::string w = fieldValue(target.fields, "w");
    if (!isQuestionText(w)) return badRequest("问题不是有效的 UTF-8 文字或含有控制字符");
    std::vector<QaEntry> found;
    for (const Document& d : search(Site::exact, w)) {
      const QaEntry* e = findByKey(corpus_.exact, d.key);
      found.push_back(e ? *e : exactEntry(listed(d)));
    }
    const std::vector<size_t> matches = allOf(found.size());
    // The featured heading above the results needs a second entry when there is only one match.
    if (found.size() == 1 && !corpus_.exact.empty())
      found.push_back(corpus_.exact[corpus_.exact.front().key == found[0].key ? 1 : 0]);
    return utf8Page(200, exactSearchPage(w, found, matches));
  }
  if (!(key = keyIn(path, "/z/", ".htm")).empty()) {
    std::optional<QaEntry> e;
    if (const QaEntry* corpusEntry = findByKey(corpus_.exact, key))
      e = *corpusEntry;
    else if (const auto d = find(Site::exact, key))
      e = exactEntry(*d);
    if (!e) return notFound();
    std::string sw = fieldValue(target.fields, "sw");
    if (!isQuestionText(sw)) sw.clear();  // only echoed into the search box
    return utf8Page(200, exactAnswerPage(*e, sw));
  }

  // Software site: pages and questions in GBK.
  if (path == "/search.aspx") {
    auto keyword = gbkToUtf8(fieldValue(target.fields, "keyword"));
    if (!keyword || !isQuestionText(*keyword))
      return badRequest("关键词不是有效的 GBK 文字或含有控制字符");
    std::vector<Program> found;
    for (const Document& d : search(Site::software, *keyword)) {
      const Program* p = findByKey(corpus_.software, d.key);
      found.push_back(p ? *p : softwareEntry(listed(d)));
    }
    return gbkPage(softwareSearchPage(*keyword, found, allOf(found.size()), baseUrl(request)));
  }
  if (!(key = keyIn(path, "/soft/", ".html")).empty()) {
    const std::string base = baseUrl(request);
    if (const Program* p = findByKey(corpus_.software, key)) {
      return gbkPage(
          softwareDetailPage(*p, base, base + "/shot/" + p->key + "." + shots_.at(p->key).extension,
                             base + "/down/" + p->key + ".zip"));
    }
    const auto d = find(Site::software, key);
    if (!d) return notFound();
    // A package shows its icon as its screenshot where the system has one, else no picture.
    const std::string shot = d->picture.empty() ? "" : base + "/shot/" + d->key + ".png";
    return gbkPage(softwareDetailPage(softwareEntry(*d), base, shot, downloadAddress(*d)));
  }
  for (const char* extension : {"png", "jpg"}) {
    if ((key = keyIn(path, "/shot/", std::string(".") + extension)).empty()) continue;
    auto it = shots_.find(std::string(key));
    if (it != shots_.end())
      return it->second.extension == extension ? picture(it->second) : notFound();
    const auto d = find(Site::software, key);
    std::optional<Reply> icon =
        d && std::string_view(extension) == "png" ? iconFile(*d) : std::nullopt;
    return icon ? std::move(*icon) : notFound();
  }
  if (!(key = keyIn(path, "/icon/", ".png")).empty()) {
    auto it = icons_.find(std::string(key));
    if (it != icons_.end()) return picture(it->second);
    const auto d = find(Site::software, key);
    std::optional<Reply> icon = d ? iconFile(*d) : std::nullopt;
    return icon ? std::move(*icon) : notFound();
  }
  if (!(key = keyIn(path, "/down/", ".zip")).empty()) {
    const Program* p = findByKey(corpus_.software, key);
    if (!p) return notFound();
    Reply reply{200, "application/zip", {}, {}, &archives_.at(p->key)};
    reply.headers.emplace_back("Content-Disposition",
                               "attachment; filename=\"" + p->download + "\"");
    return reply;
  }

  return notFound();
}

}  // namespace qelvora::sites
