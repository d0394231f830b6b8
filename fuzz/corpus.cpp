// The corpus loader of the reference sites. Any bytes (the three files, apart by a line "=====")
// are either refused with the loader's own error, which names the file, or give entries that keep
// its promises: plain unique keys; texts that are UTF-8 which GBK can hold, without NUL; one-line
// trimmed fields; titles without markup; no marker of a page where the program would cut by it;
// shots and downloads within their rules. Entries put together here, written out in the format
// with comments, CR LF lines and a byte-order mark as they come, read back as they were.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "fuzz/charset.h"
#include "fuzz/check.h"
#include "sites/corpus.h"

using namespace qelvora::sites;
using qelvora::fuzz::asciiLower;
using qelvora::fuzz::expect;
using qelvora::fuzz::expectText;
using qelvora::fuzz::fail;

namespace {

bool contains(std::string_view text, std::string_view part) {
  return asciiLower(text).find(asciiLower(part)) != std::string::npos;
}

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::size_t characters(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

// Text that reaches the program intact.
void checkText(std::string_view what, std::string_view text) {
  if (!qelvora::fuzz::converts(text, "UTF-8"))
    fail(what, "is not UTF-8: " + qelvora::fuzz::describe(text));
  if (!qelvora::fuzz::converts(text, "UTF-8", "CP936"))
    fail(what, "holds what GBK cannot: " + qelvora::fuzz::describe(text));
  if (text.find('\0') != std::string::npos) fail(what, "holds a NUL");
}

// A header value: one line, trimmed.
void checkField(std::string_view what, std::string_view text, bool required = false) {
  checkText(what, text);
  expect(text.find('\n') == std::string::npos, "a field spans lines");
  expect(text.empty() || (!isSpace(text.front()) && !isSpace(text.back())), "field not trimmed");
  if (required && text.empty()) fail(what, "is empty although required");
}

void checkTitle(std::string_view what, std::string_view text) {
  checkField(what, text, true);
  if (text.find_first_of("<>&\"") != std::string::npos) fail(what, "holds markup");
}

// A body: not empty, no trailing blank line, no separator line.
void checkBody(std::string_view what, std::string_view body) {
  checkText(what, body);
  const std::string_view last = body.substr(body.rfind('\n') + 1);
  bool blank = true;
  for (char c : last) blank = blank && isSpace(c);
  if (blank) fail(what, "is empty or ends with a blank line");
  expect(("\n" + std::string(body) + "\n").find("\n---\n") == std::string::npos,
         "a body holds a separator line");
}

void checkMarkers(std::string_view what, std::string_view text,
                  std::initializer_list<std::string_view> markers) {
  for (std::string_view m : markers)
    if (contains(text, m)) fail(what, "holds the marker " + qelvora::fuzz::describe(m));
}

void checkKey(std::string_view key, std::set<std::string>& seen) {
  expect(!key.empty() && key.size() <= 40, "key empty or too long");
  for (char c : key)
    expect(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_',
           "key with a byte outside letters, digits, - and _");
  expect(seen.insert(std::string(key)).second, "two entries with the same key");
}

void checkKeywords(const std::vector<std::string>& keywords, bool twoCharacters) {
  expect(!keywords.empty(), "no keywords although they are required");
  for (const std::string& k : keywords) {
    checkField("keyword", k, true);
    expect(k.find(',') == std::string::npos && k.find("\xEF\xBC\x8C") == std::string::npos,
           "a keyword holds a separator");
    if (twoCharacters) expect(characters(k) >= 2, "a keyword shorter than two characters");
  }
}

void checkQa(const std::vector<QaEntry>& entries, bool exact) {
  expect(!entries.empty(), "a file without entries");
  std::set<std::string> keys;
  for (const QaEntry& e : entries) {
    checkKey(e.key, keys);
    checkTitle("question", e.question);
    checkField("asker", e.asker);
    checkField("other", e.other);
    checkBody("answer", e.answer);
    if (exact) {
      checkKeywords(e.keywords, true);
      expect(e.answer.find_first_of("<&") == std::string::npos, "plain answer with < or &");
    } else {
      expect(e.keywords.empty(), "keywords in the fuzzy file");
      checkMarkers("question", e.question, {"360问答"});
      checkMarkers("answer", e.answer, {"</div>"});
    }
  }
}

void checkSoftware(const std::vector<Program>& programs) {
  expect(!programs.empty(), "a file without entries");
  std::set<std::string> keys;
  for (const Program& p : programs) {
    checkKey(p.key, keys);
    checkTitle("name", p.name);
    checkTitle("version", p.version);
    for (const std::string* field : {&p.size, &p.category, &p.date}) checkField("field", *field);
    checkField("question", p.question, true);
    checkKeywords(p.keywords, false);
    checkField("latin", p.latin, true);
    expect(p.latin.size() <= 40, "latin name over 40 bytes");
    for (char c : p.latin) expect(c >= 0x20 && c < 0x7F, "latin name not printable ASCII");
    const ShotSettings& s = p.shot;
    expect(s.format == ShotSettings::Format::png || s.format == ShotSettings::Format::jpeg,
           "unknown shot format");
    expect(s.width >= 160 && s.width <= 1600 && s.height >= 120 && s.height <= 1200,
           "shot size out of range");
    expect(s.color <= 0xFFFFFF, "shot colour beyond RGB");
    expect(p.download.size() >= 5 && p.download.ends_with(".zip"), "download not a .zip name");
    for (char c : p.download)
      expect(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-',
             "download name with a byte outside the plain set");
    checkBody("description", p.description);
    checkMarkers("description", p.description,
                 {"</div>", "target=\"_blank\"><img src=\"", "itemprop=\"downloadUrl\" href=\""});
  }
}

void checkAnyBytes(std::string_view input) {
  std::string_view files[3];
  for (int i = 0; i < 2; ++i) {
    const std::size_t at = input.find("\n=====\n");
    files[i] = input.substr(0, at);
    input = at == std::string_view::npos ? std::string_view() : input.substr(at + 7);
  }
  files[2] = input;
  Corpus corpus;
  try {
    corpus = parseCorpus(files[0], files[1], files[2]);
  } catch (const CorpusError& e) {
    const std::string_view what = e.what();
    expect(what.starts_with("fuzzy.txt:") || what.starts_with("exact.txt:") ||
               what.starts_with("software.txt:"),
           "a refusal that does not name the file");
    return;
  }
  checkQa(corpus.fuzzy, false);
  checkQa(corpus.exact, true);
  checkSoftware(corpus.software);
}

// ---- entries put together --------------------------------------------------------------------

// Pieces of text: Chinese, punctuation, what the format gives a meaning to elsewhere (":", "#",
// "---", commas), and markup that answers and descriptions may hold. None can make a marker.
const std::vector<std::string_view>& pieces() {
  static const std::vector<std::string_view> list = [] {
    constexpr std::string_view kAll =
        "天空|为什么|蓝色|电脑|看图|软件|问|a|Z|7|12| |:|#|-|---|_|.|'|？|、|，|,|<p>|</p>|<br/>|"
        "<br>|&quot;|<a href=\"/q/1\">|</A>|div|src=|&|\"|>";
    std::vector<std::string_view> out;
    for (std::size_t at = 0, bar; at <= kAll.size(); at = bar + 1) {
      bar = std::min(kAll.find('|', at), kAll.size());
      out.push_back(kAll.substr(at, bar - at));
    }
    return out;
  }();
  return list;
}

enum Allow { kPlain = 0, kComma = 1, kMarkup = 2, kAscii = 4 };

bool allowed(std::string_view piece, int allow) {
  const bool markup = piece.find_first_of("<>&\"") != std::string_view::npos;
  const bool comma = piece.find(',') != std::string_view::npos || piece == "，";
  bool ascii = true;
  for (unsigned char c : piece) ascii = ascii && c < 0x80;
  if (markup && !(allow & kMarkup)) return false;
  if (comma && !(allow & kComma)) return false;
  return ascii || !(allow & kAscii);
}

std::string trimmed(std::string s) {
  while (!s.empty() && isSpace(s.back())) s.pop_back();
  std::size_t b = 0;
  while (b < s.size() && isSpace(s[b])) ++b;
  return s.substr(b);
}

std::string piecesOf(FuzzedDataProvider& in, int allow, std::size_t maxPieces) {
  std::string text;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, maxPieces);
  for (std::size_t i = 0; i < n; ++i) {
    const auto piece = pieces()[in.ConsumeIntegralInRange<std::size_t>(0, pieces().size() - 1)];
    if (allowed(piece, allow)) text += piece;
  }
  return text;
}

// A one-line text, trimmed; the fallback when that leaves it too short.
std::string textOf(FuzzedDataProvider& in, int allow, std::size_t maxPieces,
                   std::string_view fallback = "", std::size_t minChars = 1) {
  const std::string text = trimmed(piecesOf(in, allow, maxPieces));
  return characters(text) < minChars && !fallback.empty() ? std::string(fallback) : text;
}

// Body lines; none is a separator, and the last one is not blank.
std::string bodyOf(FuzzedDataProvider& in, int allow) {
  std::string body;
  const std::size_t lines = in.ConsumeIntegralInRange<std::size_t>(1, 4);
  for (std::size_t i = 0; i < lines; ++i) {
    std::string line = piecesOf(in, allow, 6);
    if (line == "---") line += "-";
    if (i + 1 == lines && trimmed(line).empty()) line += "答";
    body += (i ? "\n" : "") + line;
  }
  return body;
}

std::string keyOf(FuzzedDataProvider& in, std::size_t index) {
  std::string key = "k" + std::to_string(index);
  const std::string tail = in.ConsumeRandomLengthString(8);
  for (char c : tail)
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') key += c;
  return key;
}

std::vector<std::string> keywordsOf(FuzzedDataProvider& in) {
  std::vector<std::string> keywords;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 3);
  for (std::size_t i = 0; i < n; ++i) keywords.push_back(textOf(in, kPlain, 3, "关键", 2));
  return keywords;
}

// One file in the format: each block's header lines in the order given (with comment lines and
// spaces around the colon as the input says), a blank line, the body; "---" between blocks.
class Writer {
 public:
  explicit Writer(FuzzedDataProvider& in) : in_(in), crlf_(in.ConsumeBool()) {
    if (in_.ConsumeBool()) text_ = "\xEF\xBB\xBF";
    if (in_.ConsumeBool()) line("# a comment before the first block");
  }
  void field(std::string_view name, std::string_view value) {
    if (value.empty() && in_.ConsumeBool()) return;  // an empty optional field may be left out
    if (in_.ConsumeIntegralInRange(0, 7) == 0) line("#" + std::string(value));
    const bool spaced = in_.ConsumeBool();
    line(std::string(name) + (spaced ? " : " : ": ") + std::string(value) + (spaced ? "  " : ""));
  }
  void body(std::string_view body) {
    line("");
    for (std::size_t start = 0;;) {
      const std::size_t end = body.find('\n', start);
      line(body.substr(start, end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    if (in_.ConsumeBool()) line("");
    line("---");
    if (in_.ConsumeBool()) line("");
  }
  const std::string& text() const { return text_; }

 private:
  void line(std::string_view l) {
    text_ += l;
    text_ += crlf_ ? "\r\n" : "\n";
  }
  FuzzedDataProvider& in_;
  bool crlf_;
  std::string text_;
};

std::string joinKeywords(FuzzedDataProvider& in, const std::vector<std::string>& keywords) {
  std::string out;
  for (const std::string& k : keywords) {
    if (!out.empty()) out += in.ConsumeBool() ? ", " : "，";
    out += k;
  }
  return out;
}

// Every field of an entry on a line of its own, for comparing what was read with what was written.
std::string flat(const QaEntry& e) {
  std::string out = e.key + "\n" + e.question + "\n" + e.asker + "\n" + e.other + "\n" + e.answer;
  for (const std::string& k : e.keywords) out += "\nkeyword " + k;
  return out + "\n\n";
}

std::string flat(const Program& p) {
  std::string out;
  for (const std::string* field : {&p.key, &p.name, &p.latin, &p.version, &p.size, &p.category,
                                   &p.date, &p.question, &p.download, &p.description})
    out += *field + "\n";
  for (const std::string& k : p.keywords) out += "keyword " + k + "\n";
  const ShotSettings& s = p.shot;
  return out + (s.format == ShotSettings::Format::png ? "png " : "jpeg ") +
         std::to_string(s.width) + "x" + std::to_string(s.height) + " " + std::to_string(s.color) +
         "\n\n";
}

template <typename T>
std::string flat(const std::vector<T>& entries) {
  std::string out;
  for (const T& e : entries) out += flat(e);
  return out;
}

std::vector<QaEntry> composeQa(FuzzedDataProvider& in, bool exact, std::string& file) {
  std::vector<QaEntry> entries(in.ConsumeIntegralInRange<std::size_t>(1, 4));
  Writer w(in);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    QaEntry& e = entries[i];
    e.key = keyOf(in, i);
    e.question = textOf(in, kComma, 6, "天空");
    e.asker = textOf(in, kMarkup | kComma, 3);
    e.other = textOf(in, kMarkup | kComma, 3);
    if (exact) e.keywords = keywordsOf(in);
    e.answer = bodyOf(in, exact ? kComma : kComma | kMarkup);
    w.field("key", e.key);
    w.field("question", e.question);
    if (exact) w.field("keywords", joinKeywords(in, e.keywords));
    w.field("asker", e.asker);
    w.field("other", e.other);
    w.body(e.answer);
  }
  file = w.text();
  return entries;
}

std::vector<Program> composeSoftware(FuzzedDataProvider& in, std::string& file) {
  std::vector<Program> programs(in.ConsumeIntegralInRange<std::size_t>(1, 3));
  Writer w(in);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    Program& p = programs[i];
    p.key = keyOf(in, i);
    p.name = textOf(in, kComma, 4, "看图");
    p.latin = textOf(in, kAscii | kComma | kMarkup, 6, "Viewer");
    p.latin = trimmed(p.latin.substr(0, 40));
    p.version = textOf(in, kComma, 3, "1.0");
    p.size = textOf(in, kMarkup | kComma, 2);
    p.category = textOf(in, kMarkup | kComma, 2);
    p.date = textOf(in, kMarkup | kComma, 2);
    p.keywords = keywordsOf(in);
    p.question = textOf(in, kMarkup | kComma, 5, "用什么看图");
    p.shot.format = in.ConsumeBool() ? ShotSettings::Format::png : ShotSettings::Format::jpeg;
    p.shot.width = in.ConsumeIntegralInRange(160, 1600);
    p.shot.height = in.ConsumeIntegralInRange(120, 1200);
    p.shot.color = in.ConsumeIntegralInRange<std::uint32_t>(0, 0xFFFFFF);
    p.download = "d" + keyOf(in, i) + ".zip";
    p.description = bodyOf(in, kComma | kMarkup);
    char shot[64];
    std::snprintf(shot, sizeof shot, in.ConsumeBool() ? "%s %dx%d #%06x" : "%s %dx%d #%06X",
                  p.shot.format == ShotSettings::Format::png ? "png" : "jpeg", p.shot.width,
                  p.shot.height, p.shot.color);
    w.field("key", p.key);
    w.field("name", p.name);
    w.field("latin", p.latin);
    w.field("version", p.version);
    w.field("size", p.size);
    w.field("category", p.category);
    w.field("date", p.date);
    w.field("keywords", joinKeywords(in, p.keywords));
    w.field("question", p.question);
    w.field("shot", shot);
    w.field("download", p.download);
    w.body(p.description);
  }
  file = w.text();
  return programs;
}

void checkComposed(FuzzedDataProvider& in) {
  std::string files[3];
  const auto fuzzy = composeQa(in, false, files[0]);
  const auto exact = composeQa(in, true, files[1]);
  const auto software = composeSoftware(in, files[2]);
  Corpus got;
  try {
    got = parseCorpus(files[0], files[1], files[2]);
  } catch (const CorpusError& e) {
    fail("refused a sound corpus:", std::string(e.what()) + "\n" + files[0] + files[1] + files[2]);
  }
  expectText("fuzzy entries read back", flat(got.fuzzy), flat(fuzzy));
  expectText("exact entries read back", flat(got.exact), flat(exact));
  expectText("programs read back", flat(got.software), flat(software));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte chooses: '\x01' puts a corpus together, anything else is the files' bytes, so
  // that a seed is three corpus files as they stand.
  if (size > 0 && data[0] == 1) {
    FuzzedDataProvider in(data + 1, size - 1);
    checkComposed(in);
  } else {
    checkAnyBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
