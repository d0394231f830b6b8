#include "sites/sites.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "sites/archive.h"
#include "sites/match.h"
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

}  // namespace

Sites::Sites(Corpus corpus) : corpus_(std::move(corpus)) {
  for (const Program& p : corpus_.software) {
    shots_[p.key] = drawScreenshot(p);
    icons_[p.key] = drawIcon(p);
    archives_[p.key] = makeZip({{"readme.txt", softwareReadme(p)}});
  }
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
    return utf8Page(200, fuzzySearchPage(q, corpus_.fuzzy, matchFuzzy(corpus_.fuzzy, q)));
  }
  if (!(key = keyIn(path, "/q/", "")).empty()) {
    const QaEntry* e = findByKey(corpus_.fuzzy, key);
    return e ? utf8Page(200, fuzzyAnswerPage(*e)) : notFound();
  }
  if (!(key = keyIn(path, "/ad/", "", false)).empty())
    return hasSponsor(key) ? utf8Page(200, sponsoredPage(key)) : notFound();

  // Exact site.
  if (path == "/s/") {
    const std::string w = fieldValue(target.fields, "w");
    if (!isQuestionText(w)) return badRequest("问题不是有效的 UTF-8 文字或含有控制字符");
    return utf8Page(200, exactSearchPage(w, corpus_.exact, matchExact(corpus_.exact, w)));
  }
  if (!(key = keyIn(path, "/z/", ".htm")).empty()) {
    const QaEntry* e = findByKey(corpus_.exact, key);
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
    return gbkPage(softwareSearchPage(*keyword, corpus_.software,
                                      matchSoftware(corpus_.software, *keyword), baseUrl(request)));
  }
  if (!(key = keyIn(path, "/soft/", ".html")).empty()) {
    const Program* p = findByKey(corpus_.software, key);
    if (!p) return notFound();
    return gbkPage(softwareDetailPage(*p, baseUrl(request), shots_.at(p->key).extension));
  }
  for (const char* extension : {"png", "jpg"}) {
    if ((key = keyIn(path, "/shot/", std::string(".") + extension)).empty()) continue;
    auto it = shots_.find(std::string(key));
    if (it == shots_.end() || it->second.extension != extension) return notFound();
    return picture(it->second);
  }
  if (!(key = keyIn(path, "/icon/", ".png")).empty()) {
    auto it = icons_.find(std::string(key));
    return it == icons_.end() ? notFound() : picture(it->second);
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
