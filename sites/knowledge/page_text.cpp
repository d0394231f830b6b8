#include "sites/knowledge/page_text.h"

#include <iconv.h>

#include <bitset>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include <opencc/Lexicon.hpp>
#include <opencc/MarisaDict.hpp>
#include <opencc/SerializableDict.hpp>

#include "sites/strings.h"

namespace qelvora::sites::knowledge {
namespace {

// ---- the GBK repertoire -----------------------------------------------------------------------

// Which characters of the basic plane GBK (the program's code page 936) holds, asked of iconv once.
// "€" is left out: its one byte 0x80 is read as the first half of a two-byte character. Nothing
// beyond the basic plane is in GBK.
class GbkRepertoire {
 public:
  GbkRepertoire() {
    iconv_t cd = iconv_open("CP936", "UTF-32LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;  // then only ASCII passes
    for (char32_t cp = 0x80; cp < 0x10000; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      char in[4] = {static_cast<char>(cp & 0xFF), static_cast<char>((cp >> 8) & 0xFF), 0, 0};
      char out[8];
      char* inPtr = in;
      char* outPtr = out;
      size_t inLeft = sizeof in, outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) continue;
      if (sizeof out - outLeft == 2) held_.set(cp);
    }
    iconv_close(cd);
  }
  bool holds(char32_t cp) const { return cp < 0x80 || (cp < 0x10000 && held_.test(cp)); }

 private:
  std::bitset<0x10000> held_;
};

const GbkRepertoire& gbk() {
  static const GbkRepertoire repertoire;
  return repertoire;
}

// Traditional -> simplified, character for character, from OpenCC's character table. Loaded on
// the first character that needs it: most text never does.
class Simplifier {
 public:
  std::optional<char32_t> simplify(char32_t cp) {
    std::call_once(loaded_, [this] { load(); });
    const auto it = table_.find(cp);
    if (it == table_.end()) return std::nullopt;
    return it->second;
  }

 private:
  void load() {
    static const char* const kPaths[] = {"/usr/share/opencc/TSCharacters.ocd2",
                                         "/usr/local/share/opencc/TSCharacters.ocd2"};
    opencc::MarisaDictPtr dict;
    for (const char* path : kPaths) {
      try {
        if (opencc::SerializableDict::TryLoadFromFile<opencc::MarisaDict>(path, &dict) && dict)
          break;
      } catch (const std::exception&) {
        dict.reset();  // a damaged file: try the next place
      }
    }
    if (!dict) return;  // without the table nothing is simplified
    for (const auto& entry : *dict->GetLexicon()) {
      const auto key = decodeUtf8(entry->Key());
      const auto value = decodeUtf8(entry->GetDefault());
      if (key && value && key->size() == 1 && value->size() == 1)
        table_.emplace(key->front(), value->front());
    }
  }

  std::once_flag loaded_;
  std::unordered_map<char32_t, char32_t> table_;
};

Simplifier& simplifier() {
  static Simplifier s;
  return s;
}

// Close plain forms of a few marks and of the Latin letters GBK lacks, so that "Jörg" reads
// "Jorg" rather than "Jrg".
std::u32string_view closeForm(char32_t cp) {
  // U+00C0..U+00FF and U+0100..U+017F, one base letter each ('*': see below).
  static constexpr std::u32string_view kLatin1 =
      U"AAAAAA*CEEEEIIIIDNOOOOO*OUUUUY**aaaaaa*ceeeeiiiidnooooo*ouuuuy*y";
  static constexpr std::u32string_view kLatinA =
      U"AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi**JjKkkLlLlLlLlLlNnNnNnnNnOoOoOo**RrRrRr"
      U"SsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
  static_assert(kLatin1.size() == 0x40 && kLatinA.size() == 0x80);
  switch (cp) {
    case 0x00C6:
      return U"AE";
    case 0x00E6:
      return U"ae";
    case 0x00DE:
      return U"Th";
    case 0x00FE:
      return U"th";
    case 0x00DF:
      return U"ss";
    case 0x0132:
      return U"IJ";
    case 0x0133:
      return U"ij";
    case 0x0152:
      return U"OE";
    case 0x0153:
      return U"oe";
    case 0x00A9:
      return U"(C)";
    case 0x00AE:
      return U"(R)";
    case 0x2122:
      return U"TM";
    case 0x2010:
    case 0x2011:
    case 0x2212:
      return U"-";
    case 0x2022:
    case 0x2219:
    case 0x30FB:
    case 0xFF65:
      return U"\u00B7";
    default:
      break;
  }
  if (cp >= 0xC0 && cp <= 0xFF && kLatin1[cp - 0xC0] != U'*') return kLatin1.substr(cp - 0xC0, 1);
  if (cp >= 0x100 && cp <= 0x17F && kLatinA[cp - 0x100] != U'*')
    return kLatinA.substr(cp - 0x100, 1);
  return {};
}

std::optional<char32_t> variantOf(const std::unordered_map<char32_t, char32_t>* variants,
                                  char32_t cp) {
  if (!variants) return std::nullopt;
  const auto it = variants->find(cp);
  if (it == variants->end()) return std::nullopt;
  return it->second;
}

bool isSpace(char32_t cp) {
  return cp == 0xA0 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F;
}

// UTF-8 as characters; a malformed byte is skipped, never guessed at.
std::u32string decodeLeniently(std::string_view text) {
  if (auto whole = decodeUtf8(text)) return std::move(*whole);
  std::u32string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (auto one = decodeUtf8(text.substr(i, length)); one && one->size() == 1) {
      out += *one;
      i += length;
    } else {
      ++i;
    }
  }
  return out;
}

// ---- escaping ---------------------------------------------------------------------------------

enum class Where { fuzzyTitle, text, software };

bool startsWith(std::u32string_view text, size_t at, std::u32string_view what) {
  return text.substr(at, what.size()) == what;
}

// The full-width forms that keep text from forming a marker or a sequence the clean-up chain
// rewrites. The chain is case-sensitive; the cuts are not, but every marker text can reach holds
// < > or ", except the fuzzy title's end "360问答".
std::u32string escapeForPage(std::u32string_view in, Where where) {
  std::u32string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char32_t c = in[i];
    switch (c) {
      case U'<':
        out += U'＜';
        continue;
      case U'>':
        out += U'＞';
        continue;
      case U'&':
        out += U'＆';
        continue;
      case U'"':
        out += U'＂';
        continue;
      case U'\'':
        // The pages escape what they put in titles and plain answers; "&#39;" would be typed.
        out += U'＇';
        continue;
      case U'/':
        // "r/" and "r /" are deleted wherever they stand.
        if ((i >= 1 && in[i - 1] == U'r') || (i >= 2 && in[i - 1] == U' ' && in[i - 2] == U'r')) {
          out += U'／';
          continue;
        }
        break;
      case U'=':
        if (i >= 4 && in.substr(i - 4, 4) == U"href") {
          out += U'＝';
          continue;
        }
        break;
      case U'3':
        // The title is cut at the first "360问答".
        if (where == Where::fuzzyTitle && startsWith(in, i, U"360问答")) {
          out += U"３６０";
          i += 2;
          continue;
        }
        break;
      case U'.':
        if (where == Where::software && startsWith(in, i, U".img")) {
          out += U'．';
          continue;
        }
        break;
      case U':':
        if (where == Where::software && i >= 9 && in.substr(i - 9, 9) == U"font-size" &&
            startsWith(in, i, U":12px;")) {
          out += U'：';
          continue;
        }
        break;
      default:
        break;
    }
    out += c;
  }
  return out;
}

std::u32string cleanText(std::string_view utf8) {
  return decodeLeniently(toGbkRepertoire(utf8, nullptr));
}

// One line: line breaks and tabs as spaces, runs of spaces folded, ends trimmed.
std::u32string oneLine(std::u32string_view text) {
  std::u32string out;
  for (char32_t c : text) {
    if (c == U'\n' || c == U'\t') c = U' ';
    if (c == U' ' && (out.empty() || out.back() == U' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == U' ') out.pop_back();
  return out;
}

// Leading and trailing blank lines and spaces dropped.
std::u32string trimLines(std::u32string_view text) {
  auto blank = [](char32_t c) { return c == U' ' || c == U'\t' || c == U'\n' || c == U'\u3000'; };
  size_t b = 0, e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  return std::u32string(text.substr(b, e - b));
}

constexpr size_t kTitleChars = 100;

std::string titleFor(std::string_view title, Where where) {
  const std::string line = encodeUtf8(oneLine(cleanText(title)));
  return encodeUtf8(escapeForPage(decodeLeniently(shortenUtf8(line, kTitleChars)), where));
}

constexpr size_t kAnswerChars = 600;

std::u32string fullTextLine(std::u32string_view link) {
  return U"\n（全文：" + std::u32string(link) + U"）";
}

// The capped body with an optional last line of its own before the pointer to the whole text,
// escaped, its lines joined by lineBreak.
std::string answerFor(std::string_view body, std::string_view link, Where where,
                      std::u32string_view lineBreak, std::u32string_view lastLine = {}) {
  const std::size_t room =
      kAnswerChars > lastLine.size() + 1 ? kAnswerChars - lastLine.size() - 1 : 0;
  // A long text (a manual page can be 300 KB) is cleaned only as far as the answer can reach,
  // unless so little of that is left after the clean-up that the rest may count.
  constexpr std::size_t kHeadBytes = 16 * 1024;
  std::string_view head = body;
  bool longer = false;
  if (body.size() > kHeadBytes) {
    std::size_t end = kHeadBytes;
    while (end > 0 && (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80) --end;
    head = body.substr(0, end);
    longer = true;
  }
  std::string text = encodeUtf8(trimLines(cleanText(head)));
  if (longer && decodeLeniently(text).size() <= room) {
    text = encodeUtf8(trimLines(cleanText(body)));
    longer = false;
  }
  std::u32string answer = decodeLeniently(capAnswer(text, "", room));
  const bool cut = longer || answer != decodeLeniently(text);
  if (!lastLine.empty()) answer += (answer.empty() ? U"" : U"\n") + std::u32string(lastLine);
  const std::u32string place = oneLine(cleanText(link));
  if (cut && !place.empty()) answer += fullTextLine(place);

  const std::u32string escaped = escapeForPage(answer, where);
  std::u32string joined;
  for (char32_t c : escaped) {
    if (c == U'\n') {
      joined += lineBreak;
    } else {
      joined += c;
    }
  }
  return encodeUtf8(joined);
}

}  // namespace

std::string toGbkRepertoire(std::string_view utf8,
                            const std::unordered_map<char32_t, char32_t>* variants) {
  const std::u32string in = decodeLeniently(utf8);
  std::u32string out;
  out.reserve(in.size());
  const GbkRepertoire& repertoire = gbk();
  for (char32_t c : in) {
    if (c == U'\n' || c == U'\t') {
      out += c;
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      // control characters go
    } else if (c < 0x80 || (c != U'€' && repertoire.holds(c))) {
      out += c;
    } else if (isSpace(c)) {
      out += U' ';
    } else if (c == 0x2028 || c == 0x2029) {
      out += U'\n';
    } else if (c == U'€') {
      out += U"欧元";
    } else if (auto simple = simplifier().simplify(c); simple && repertoire.holds(*simple)) {
      out += *simple;
    } else if (auto variant = variantOf(variants, c); variant && repertoire.holds(*variant)) {
      out += *variant;
    } else {
      out += closeForm(c);
    }
  }
  return encodeUtf8(out);
}

std::string capAnswer(std::string_view text, std::string_view link, std::size_t maxChars) {
  const std::u32string chars = decodeLeniently(text);
  if (chars.size() <= maxChars) return std::string(text);

  auto isBlank = [](char32_t c) { return c == U' ' || c == U'\t' || c == U'\n'; };
  // The longest piece that ends a sentence or a line within the last third of the cap.
  size_t keep = 0;
  for (size_t n = maxChars; n >= (2 * maxChars + 2) / 3 && n > 0; --n) {
    const char32_t last = chars[n - 1];
    const bool sentence = last == U'。' || last == U'！' || last == U'？' || last == U'；' ||
                          ((last == U'.' || last == U'!' || last == U'?') && isBlank(chars[n]));
    if (sentence || chars[n] == U'\n') {
      keep = n;
      break;
    }
  }
  const bool midSentence = keep == 0;
  if (midSentence) keep = maxChars;
  while (keep > 0 && isBlank(chars[keep - 1])) --keep;

  std::u32string out = chars.substr(0, keep);
  if (midSentence) out += U"……";
  if (!link.empty()) out += fullTextLine(decodeLeniently(link));
  return encodeUtf8(out);
}

std::string fuzzyTitle(const Document& document) {
  return titleFor(document.title, Where::fuzzyTitle);
}

std::string fuzzyAnswerMarkup(const Document& document) {
  return answerFor(document.body, document.link, Where::text, U"<br/>");
}

std::string exactTitle(const Document& document) {
  return titleFor(document.title, Where::text);
}

std::string exactAnswerText(const Document& document) {
  return answerFor(document.body, document.link, Where::text, U"\n");
}

std::string softwareName(const Document& document) {
  std::string_view name = document.title;
  if (trim(name).empty() && !document.names.empty()) name = document.names.front();
  if (trim(name).empty()) name = document.key;
  return titleFor(name, Where::software);
}

std::string softwareDescriptionMarkup(const Document& document) {
  // The version has no place of its own in the typed answer: it is the description's last line.
  const std::u32string version = oneLine(cleanText(document.version));
  return answerFor(document.body, document.link, Where::software, U"<br/>",
                   version.empty() ? U"" : U"版本：" + version);
}

}  // namespace qelvora::sites::knowledge
