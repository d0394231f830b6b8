#include "sites/corpus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <span>
#include <sstream>

#include "sites/strings.h"

namespace qelvora::sites {
namespace {

struct Block {
  std::string file;
  int line = 0;      // line of the block's first header
  int bodyLine = 0;  // line of the body's first line
  std::vector<std::pair<std::string, std::string>> headers;
  std::map<std::string, int> headerLines;
  std::string body;
};

[[noreturn]] void failAt(const std::string& file, int line, const std::string& what) {
  throw CorpusError(file + ":" + std::to_string(line) + ": " + what);
}

std::vector<Block> readBlocks(const std::string& file, std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<Block> blocks;
  Block current;
  bool inBody = false;
  std::vector<std::string> bodyLines;
  auto finish = [&] {
    while (!bodyLines.empty() && trim(bodyLines.back()).empty()) bodyLines.pop_back();
    std::string body;
    for (size_t i = 0; i < bodyLines.size(); ++i) body += (i ? "\n" : "") + bodyLines[i];
    current.body = body;
    if (!current.headers.empty() || !body.empty()) blocks.push_back(std::move(current));
    current = Block{};
    current.file = file;
    bodyLines.clear();
    inBody = false;
  };
  current.file = file;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNo == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (line == "---") {
      finish();
      continue;
    }
    if (inBody) {
      bodyLines.push_back(line);
      continue;
    }
    if (line.starts_with("#")) {
      // Refused here too, as everywhere else: the program reads a page only up to its first NUL.
      if (line.find('\0') != std::string::npos) failAt(file, lineNo, "comment holds a NUL byte");
      continue;
    }
    if (trim(line).empty()) {
      if (!current.headers.empty()) {
        inBody = true;
        current.bodyLine = lineNo + 1;
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) failAt(file, lineNo, "expected \"name: value\"");
    std::string name = trim(line.substr(0, colon));
    if (current.headerLines.count(name)) failAt(file, lineNo, "field \"" + name + "\" given twice");
    if (current.headers.empty()) current.line = lineNo;
    current.headerLines[name] = lineNo;
    current.headers.emplace_back(name, trim(line.substr(colon + 1)));
  }
  finish();
  return blocks;
}

// Reads the fields of one block, refusing unknown or missing ones.
class Fields {
 public:
  Fields(const Block& block, std::set<std::string> known, std::set<std::string> required)
      : block_(block) {
    for (const auto& [name, value] : block.headers) {
      if (!known.count(name)) failAt(block.file, lineOf(name), "unknown field \"" + name + "\"");
      values_[name] = value;
    }
    for (const auto& name : required)
      if (values_[name].empty()) failAt(block.file, block.line, "missing field \"" + name + "\"");
  }
  std::string get(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::string{} : it->second;
  }
  int lineOf(const std::string& name) const {
    auto it = block_.headerLines.find(name);
    return it == block_.headerLines.end() ? block_.line : it->second;
  }
  [[noreturn]] void fail(const std::string& name, const std::string& what) const {
    failAt(block_.file, lineOf(name), what);
  }
  [[noreturn]] void failInBody(size_t offset, const std::string& what) const {
    const auto newlines = std::count(block_.body.begin(), block_.body.begin() + offset, '\n');
    failAt(block_.file, block_.bodyLine + static_cast<int>(newlines), what);
  }

 private:
  const Block& block_;
  std::map<std::string, std::string> values_;
};

std::vector<std::string> splitList(const std::string& value) {
  // Both the ASCII comma and the full-width comma separate items.
  std::string normalized;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value.compare(i, 3, "\xEF\xBC\x8C") == 0) {
      normalized.push_back(',');
      i += 2;
    } else {
      normalized.push_back(value[i]);
    }
  }
  std::vector<std::string> items;
  std::stringstream in(normalized);
  std::string item;
  while (std::getline(in, item, ','))
    if (!trim(item).empty()) items.push_back(trim(item));
  return items;
}

// A marker the program cuts an answer page by, and what it would cut wrongly if the marker stood
// inside text that goes into that page as markup. The program compares without ASCII case.
struct Marker {
  std::string_view text;
  std::string_view cut;
};

// A fuzzy answer is cut up to the first "</div><div class=" behind its start.
constexpr Marker kAnswerMarkers[] = {{"</div>", "the answer"}};
// On the detail page the description stands before the screenshot and the download link, so their
// opening markers inside it would be taken for the real ones.
constexpr Marker kDescriptionMarkers[] = {
    {"</div>", "the description"},
    {"target=\"_blank\"><img src=\"", "the screenshot address"},
    {"itemprop=\"downloadUrl\" href=\"", "the download address"},
};
// The fuzzy answer page's title reads QUESTION_360问答 and is cut at the first "360问答".
constexpr Marker kFuzzyTitleMarkers[] = {{"360问答", "the question title"}};

// Offset of the first marker inside text (ASCII case folded), or npos.
std::pair<size_t, const Marker*> findMarker(std::string_view text,
                                            std::span<const Marker> markers) {
  const std::string folded = asciiLower(text);
  for (const Marker& m : markers) {
    const size_t at = folded.find(asciiLower(m.text));
    if (at != std::string::npos) return {at, &m};
  }
  return {std::string::npos, nullptr};
}

std::string markerFault(const std::string& what, const std::string& key, const Marker& m) {
  return what + " of \"" + key + "\" holds \"" + std::string(m.text) +
         "\", a marker the program cuts " + std::string(m.cut) + " by";
}

// A body is refused where it holds a NUL (the program reads a page only up to its first NUL) or,
// when it goes into its page as markup, one of the page's markers.
void checkBody(const Fields& f, const std::string& what, const std::string& body,
               std::span<const Marker> markers) {
  const size_t nul = body.find('\0');
  if (nul != std::string::npos)
    f.failInBody(nul, what + " of \"" + f.get("key") + "\" holds a NUL byte");
  const auto [at, marker] = findMarker(body, markers);
  if (marker) f.failInBody(at, markerFault(what, f.get("key"), *marker));
}

void checkFieldMarkers(const Fields& f, const std::string& field, const std::string& value,
                       std::span<const Marker> markers) {
  const auto [at, marker] = findMarker(value, markers);
  if (marker) f.fail(field, markerFault("\"" + field + "\"", f.get("key"), *marker));
}

// Every text must reach the program intact: valid UTF-8 that GBK can hold, each character as
// itself (a single byte of 0x80 or more would swallow the byte after it, a marker's first).
void checkText(const Fields& f, const std::string& field, const std::string& text) {
  if (!decodeUtf8(text)) f.fail(field, "\"" + field + "\" is not valid UTF-8");
  if (!utf8ToGbk(text)) f.fail(field, "\"" + field + "\" holds a character that GBK cannot hold");
  if (const auto c = firstGbkSingleHighByte(text)) {
    const std::string shown = encodeUtf8(std::u32string(1, *c));
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X",
                  static_cast<unsigned char>(utf8ToGbk(shown).value_or("?").front()));
    f.fail(field, "\"" + field + "\" of \"" + f.get("key") + "\" holds \"" + shown +
                      "\", which GBK writes as the single byte " + byte + "; write it out (\"" +
                      gbkSafeText(shown) + "\")");
  }
}

void checkField(const Fields& f, const std::string& field, const std::string& text) {
  checkText(f, field, text);
  if (text.find('\0') != std::string::npos)
    f.fail(field, "\"" + field + "\" of \"" + f.get("key") + "\" holds a NUL byte");
}

void checkKey(const Fields& f, const std::string& key, std::set<std::string>& seen) {
  if (key.size() > 40) f.fail("key", "key too long");
  for (char c : key) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '-' || c == '_';
    if (!ok) f.fail("key", "key \"" + key + "\" may only hold letters, digits, - and _");
  }
  if (!seen.insert(key).second) f.fail("key", "key \"" + key + "\" used twice");
}

// Titles and names are cut out of the pages and shown as they are, so they must not need escaping.
void checkPlainTitle(const Fields& f, const std::string& field, const std::string& text) {
  if (text.find_first_of("<>&\"") != std::string::npos)
    f.fail(field, "\"" + field + "\" must not contain < > & or \"");
}

// The field is required; a value of separators alone names no keyword and is as good as missing.
std::string noKeywords(const std::string& key) {
  return "\"keywords\" of \"" + key + "\" names no keyword";
}

std::vector<QaEntry> readQa(const std::string& file, std::string_view content, bool exact) {
  std::vector<QaEntry> entries;
  std::set<std::string> keys;
  for (const Block& block : readBlocks(file, content)) {
    std::set<std::string> known = {"key", "question", "asker", "other"};
    if (exact) known.insert("keywords");
    Fields f(block, known,
             exact ? std::set<std::string>{"key", "question", "keywords"}
                   : std::set<std::string>{"key", "question"});
    QaEntry e;
    e.key = f.get("key");
    e.question = f.get("question");
    e.asker = f.get("asker");
    e.other = f.get("other");
    e.answer = block.body;
    checkKey(f, e.key, keys);
    for (const auto& [field, text] :
         {std::pair{"question", e.question}, {"asker", e.asker}, {"other", e.other}})
      checkField(f, field, text);
    checkText(f, "answer", e.answer);
    // The exact site's answer goes out escaped, so only the fuzzy one can carry a marker.
    checkBody(f, "answer", e.answer, exact ? std::span<const Marker>{} : kAnswerMarkers);
    checkPlainTitle(f, "question", e.question);
    if (!exact) checkFieldMarkers(f, "question", e.question, kFuzzyTitleMarkers);
    if (e.answer.empty()) f.fail("key", "entry \"" + e.key + "\" has no answer");
    if (exact) {
      e.keywords = splitList(f.get("keywords"));
      if (e.keywords.empty()) f.fail("keywords", noKeywords(e.key));
      for (const auto& k : e.keywords) {
        checkField(f, "keywords", k);
        auto chars = decodeUtf8(k);
        if (chars->size() < 2)
          f.fail("keywords", "keyword \"" + k + "\" is shorter than 2 characters");
      }
      // The answer goes out inside <pre> as plain text.
      if (e.answer.find_first_of("<&") != std::string::npos)
        f.fail("key", "plain answer of \"" + e.key + "\" must not contain < or &");
    }
    entries.push_back(std::move(e));
  }
  if (entries.empty()) throw CorpusError(file + ": no entries");
  return entries;
}

ShotSettings parseShot(const Fields& f, const std::string& value) {
  std::stringstream in(value);
  std::string format, size, color;
  in >> format >> size >> color;
  ShotSettings shot;
  if (format == "png") {
    shot.format = ShotSettings::Format::png;
  } else if (format == "jpeg") {
    shot.format = ShotSettings::Format::jpeg;
  } else {
    f.fail("shot", "shot format must be png or jpeg");
  }
  const size_t x = size.find('x');
  try {
    if (x == std::string::npos) throw std::invalid_argument("no x");
    size_t used = 0;
    shot.width = std::stoi(size.substr(0, x), &used);
    if (used != x) throw std::invalid_argument("width");
    shot.height = std::stoi(size.substr(x + 1), &used);
    if (used != size.size() - x - 1) throw std::invalid_argument("height");
  } catch (const std::exception&) {
    f.fail("shot", "shot size must read WIDTHxHEIGHT");
  }
  if (shot.width < 160 || shot.width > 1600 || shot.height < 120 || shot.height > 1200)
    f.fail("shot", "shot size must be within 160x120 and 1600x1200");
  if (color.size() != 7 || color[0] != '#' ||
      color.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
    f.fail("shot", "shot colour must read #RRGGBB");
  shot.color = static_cast<std::uint32_t>(std::stoul(color.substr(1), nullptr, 16));
  return shot;
}

std::vector<Program> readSoftware(const std::string& file, std::string_view content) {
  std::vector<Program> programs;
  std::set<std::string> keys;
  for (const Block& block : readBlocks(file, content)) {
    Fields f(block,
             {"key", "name", "latin", "version", "size", "category", "date", "keywords", "question",
              "shot", "download"},
             {"key", "name", "latin", "version", "keywords", "question", "shot", "download"});
    Program p;
    p.key = f.get("key");
    p.name = f.get("name");
    p.latin = f.get("latin");
    p.version = f.get("version");
    p.size = f.get("size");
    p.category = f.get("category");
    p.date = f.get("date");
    p.keywords = splitList(f.get("keywords"));
    p.question = f.get("question");
    p.shot = parseShot(f, f.get("shot"));
    p.download = f.get("download");
    p.description = block.body;
    checkKey(f, p.key, keys);
    for (const auto& [field, text] : {std::pair{"name", p.name},
                                      {"version", p.version},
                                      {"size", p.size},
                                      {"category", p.category},
                                      {"date", p.date},
                                      {"question", p.question}})
      checkField(f, field, text);
    checkText(f, "description", p.description);
    checkPlainTitle(f, "name", p.name);
    checkPlainTitle(f, "version", p.version);
    for (char c : p.latin)
      if (c < 0x20 || c > 0x7E) f.fail("latin", "latin name must be printable ASCII");
    if (p.latin.size() > 40) f.fail("latin", "latin name longer than 40 characters");
    if (p.keywords.empty()) f.fail("keywords", noKeywords(p.key));
    for (const auto& k : p.keywords) checkField(f, "keywords", k);
    const auto& d = p.download;
    if (d.size() < 5 || !d.ends_with(".zip") ||
        d.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
            std::string::npos)
      f.fail("download", "download must be a plain file name ending in .zip");
    if (p.description.empty()) f.fail("key", "program \"" + p.key + "\" has no description");
    checkBody(f, "description", p.description, kDescriptionMarkers);
    programs.push_back(std::move(p));
  }
  if (programs.empty()) throw CorpusError(file + ": no entries");
  return programs;
}

// A corpus file is far smaller; anything larger (a link to /dev/zero, say) is no corpus.
constexpr size_t kMaxFileBytes = 16u << 20;

// Opened without waiting (a FIFO would block until a writer came) and read only when it is a
// regular file, at most kMaxFileBytes of it.
std::string readFile(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw CorpusError("cannot read " + path.string() + ": " + std::strerror(errno));
  struct stat st {};
  std::string why;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "not a regular file";
  std::string text;
  char buffer[65536];
  while (why.empty()) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::strerror(errno);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxFileBytes) why = "larger than 16 MiB";
  }
  close(fd);
  if (!why.empty()) throw CorpusError("cannot read " + path.string() + ": " + why);
  return text;
}

}  // namespace

Corpus parseCorpus(std::string_view fuzzy, std::string_view exact, std::string_view software) {
  Corpus corpus;
  corpus.fuzzy = readQa(kFuzzyFile, fuzzy, false);
  corpus.exact = readQa(kExactFile, exact, true);
  corpus.software = readSoftware(kSoftwareFile, software);
  return corpus;
}

Corpus loadCorpus(const std::filesystem::path& dir) {
  return parseCorpus(readFile(dir / kFuzzyFile), readFile(dir / kExactFile),
                     readFile(dir / kSoftwareFile));
}

}  // namespace qelvora::sites
