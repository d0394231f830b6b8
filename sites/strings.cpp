#include "sites/strings.h"

#include <errno.h>
#include <iconv.h>

#include <cctype>

namespace qelvora::sites {

std::optional<std::u32string> decodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    char32_t cp = 0;
    size_t extra = 0;
    char32_t min = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F, extra = 1, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F, extra = 2, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07, extra = 3, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

std::string encodeUtf8(std::u32string_view text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plusIsSpace) {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<QueryFields> parseQuery(std::string_view target) {
  QueryFields fields;
  const size_t q = target.find('?');
  if (q == std::string_view::npos) return fields;
  std::string_view rest = target.substr(q + 1);
  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view part = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    if (part.empty()) continue;
    const size_t eq = part.find('=');
    auto name = percentDecode(part.substr(0, eq));
    auto value =
        percentDecode(eq == std::string_view::npos ? std::string_view{} : part.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    fields.emplace_back(std::move(*name), std::move(*value));
  }
  return fields;
}

std::string fieldValue(const QueryFields& fields, std::string_view name) {
  for (const auto& [n, v] : fields)
    if (n == name) return v;
  return {};
}

namespace {

// The characters glibc's CP936 (the program's GBK) writes as one byte of 0x80 or more, with what
// stands for them instead. The sites tests check this list against iconv.
struct HighByteCharacter {
  char32_t character;
  std::string_view utf8, writtenOut;
};
constexpr HighByteCharacter kHighByteCharacters[] = {{U'\u20AC', "\u20AC", "欧元"}};

}  // namespace

std::string gbkSafeText(std::string_view utf8) {
  std::string out;
  for (const HighByteCharacter& c : kHighByteCharacters) {
    if (utf8.find(c.utf8) == std::string_view::npos) continue;
    if (out.empty()) out = utf8;
    for (size_t at = 0; (at = out.find(c.utf8, at)) != std::string::npos; at += c.writtenOut.size())
      out.replace(at, c.utf8.size(), c.writtenOut);
  }
  return out.empty() ? std::string(utf8) : out;
}

std::optional<char32_t> firstGbkSingleHighByte(std::string_view utf8) {
  size_t first = std::string_view::npos;
  char32_t found = 0;
  for (const HighByteCharacter& c : kHighByteCharacters) {
    const size_t at = utf8.find(c.utf8);
    if (at < first) first = at, found = c.character;
  }
  if (first == std::string_view::npos) return std::nullopt;
  return found;
}

std::string escapeHtml(std::string_view text) {
  if (firstGbkSingleHighByte(text)) return escapeHtml(gbkSafeText(text));
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string stripTags(std::string_view markup) {
  static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&nbsp;", " "}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}};
  std::string plain;
  bool inTag = false;
  for (size_t i = 0; i < markup.size(); ++i) {
    const char c = markup[i];
    if (inTag) {
      if (c == '>') inTag = false, plain.push_back(' ');
      continue;
    }
    if (c == '<') {
      inTag = true;
      continue;
    }
    if (c == '&') {
      bool matched = false;
      for (auto [entity, replacement] : kEntities) {
        if (markup.substr(i, entity.size()) == entity) {
          plain += replacement;
          i += entity.size() - 1;
          matched = true;
          break;
        }
      }
      if (matched) continue;
    }
    plain.push_back(c);
  }
  std::string folded;
  bool space = false;
  for (char c : plain) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      space = !folded.empty();
      continue;
    }
    if (space) folded.push_back(' '), space = false;
    folded.push_back(c);
  }
  return folded;
}

std::string shortenUtf8(std::string_view text, size_t maxChars) {
  auto chars = decodeUtf8(text);
  if (!chars) return std::string(text);
  if (chars->size() <= maxChars) return std::string(text);
  return encodeUtf8(std::u32string_view(*chars).substr(0, maxChars)) + "…";
}

namespace {

std::optional<std::string> convert(std::string_view in, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 2 + 16, '\0');
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      const size_t used = out.size() - outLeft;
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
      continue;
    }
    ok = false;  // EILSEQ or EINVAL: a character that has no place on the other side
    break;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::optional<std::string> utf8ToGbk(std::string_view utf8) {
  return convert(utf8, "UTF-8", "CP936");
}
std::optional<std::string> gbkToUtf8(std::string_view gbk) {
  return convert(gbk, "CP936", "UTF-8");
}

std::string trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace qelvora::sites
