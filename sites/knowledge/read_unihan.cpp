// Characters from the Unihan database: the Mandarin reading, the English definition and the
// simplified and traditional forms, for every character a GBK question can hold. Also the text
// helpers the other readers share.
#include <iconv.h>

#include <array>
#include <bitset>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "sites/knowledge/data_file.h"
#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {

namespace detail {

namespace {

// Decodes one sequence at pos; 0xFFFFFFFF (pos unmoved) when it is not well-formed UTF-8.
char32_t decode(std::string_view text, std::size_t& pos) {
  const auto b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80) {
    ++pos;
    return b;
  }
  const int more = b >= 0xC2 && b <= 0xDF   ? 1
                   : b >= 0xE0 && b <= 0xEF ? 2
                   : b >= 0xF0 && b <= 0xF4 ? 3
                                            : 0;
  if (more == 0 || text.size() - pos <= static_cast<std::size_t>(more)) return 0xFFFFFFFF;
  char32_t c = b & (0x3F >> more);
  for (int k = 1; k <= more; ++k) {
    const auto t = static_cast<unsigned char>(text[pos + k]);
    if ((t & 0xC0) != 0x80) return 0xFFFFFFFF;
    c = (c << 6) | (t & 0x3F);
  }
  if ((more == 2 && c < 0x800) || (more == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    return 0xFFFFFFFF;
  }
  pos += static_cast<std::size_t>(more) + 1;
  return c;
}

}  // namespace

bool isUtf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // ASCII runs are most of the data: skip them a byte at a time without decoding.
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (decode(text, pos) == 0xFFFFFFFF) return false;
  }
  return true;
}

char32_t nextCodePoint(std::string_view text, std::size_t& pos) {
  const char32_t c = decode(text, pos);
  if (c != 0xFFFFFFFF) return c;
  ++pos;
  return 0xFFFD;
}

std::string utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

bool isWide(char32_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0x20000 && c <= 0x3FFFF) || c == 0x2014 || c == 0x2026 || c == 0x201C || c == 0x201D;
}

bool gbkEncodes(char32_t c) {
  if (c < 0x80) return true;
  if (c > 0xFFFF) return false;
  // Every GBK double-byte code decoded once: the set of BMP characters GBK holds.
  static const std::unique_ptr<std::bitset<0x10000>> table = [] {
    auto set = std::make_unique<std::bitset<0x10000>>();
    iconv_t cd = ::iconv_open("UTF-32LE", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) return set;
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
      for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        unsigned char out[8] = {};
        char* inp = in;
        char* outp = reinterpret_cast<char*>(out);
        std::size_t inLeft = 2, outLeft = sizeof out;
        if (::iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<std::size_t>(-1) &&
            outLeft == sizeof out - 4) {
          const char32_t u = out[0] | (out[1] << 8) | (out[2] << 16) | (char32_t(out[3]) << 24);
          if (u < 0x10000) set->set(u);
        }
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
      }
    }
    ::iconv_close(cd);
    return set;
  }();
  return table->test(c);
}

}  // namespace detail

namespace {

using detail::gbkEncodes;
using detail::utf8;

// "U+5B57" (possibly followed by "<source") as a code point; 0 when it is not one.
char32_t parseCodePoint(std::string_view s) {
  if (s.size() < 6 || s[0] != 'U' || s[1] != '+') return 0;
  char32_t c = 0;
  std::size_t i = 2;
  for (; i < s.size() && i < 9; ++i) {
    const char h = s[i];
    int v = h >= '0' && h <= '9' ? h - '0' : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
    if (v < 0) break;
    c = c * 16 + static_cast<char32_t>(v);
  }
  return i >= 6 && c <= 0x10FFFF ? c : 0;
}

std::vector<char32_t> parseCodePoints(std::string_view value) {
  std::vector<char32_t> out;
  std::size_t pos = 0;
  while (pos < value.size()) {
    std::size_t end = value.find(' ', pos);
    if (end == std::string_view::npos) end = value.size();
    if (const char32_t c = parseCodePoint(value.substr(pos, end - pos))) out.push_back(c);
    pos = end + 1;
  }
  return out;
}

// Calls f(codePoint, field, value) for each data line of a Unihan file ("U+XXXX\tkField\tvalue").
template <typename F>
void forEachEntry(const std::string& text, F&& f) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) continue;
    const char32_t c = parseCodePoint(line.substr(0, tab1));
    if (c != 0) f(c, line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1));
  }
}

std::optional<std::string> readUtf8(const std::filesystem::path& path, Skipped& skipped) {
  std::optional<std::string> text = readDataFile(path, skipped);
  if (text && !detail::isUtf8(*text)) {
    skipped.push_back(path.string() + ": not UTF-8 text");
    return std::nullopt;
  }
  return text;
}

struct Variants {
  std::vector<char32_t> simplified, traditional, semantic, z;
};

std::map<char32_t, Variants> readVariants(const std::filesystem::path& dir, Skipped& skipped) {
  std::map<char32_t, Variants> variants;
  const std::optional<std::string> text = readUtf8(dir / "Unihan_Variants.txt.bz2", skipped);
  if (!text) return variants;
  forEachEntry(*text, [&](char32_t c, std::string_view field, std::string_view value) {
    std::vector<char32_t>* list = field == "kSimplifiedVariant"    ? &variants[c].simplified
                                  : field == "kTraditionalVariant" ? &variants[c].traditional
                                  : field == "kSemanticVariant"    ? &variants[c].semantic
                                  : field == "kZVariant"           ? &variants[c].z
                                                                   : nullptr;
    if (list) *list = parseCodePoints(value);
  });
  return variants;
}

// The GBK forms among a character's variants, itself left out, joined by "、".
std::string gbkForms(char32_t self, const std::vector<char32_t>& forms,
                     std::vector<std::string>& names) {
  std::string joined;
  for (const char32_t f : forms) {
    if (f == self || !gbkEncodes(f)) continue;
    if (!joined.empty()) joined += "、";
    joined += utf8(f);
    names.push_back(utf8(f));
  }
  return joined;
}

}  // namespace

std::unordered_map<char32_t, char32_t> readUnihanVariants(const std::filesystem::path& dir,
                                                          Skipped& skipped) {
  std::unordered_map<char32_t, char32_t> map;
  for (const auto& [c, v] : readVariants(dir, skipped)) {
    if (gbkEncodes(c)) continue;
    for (const auto* list : {&v.simplified, &v.semantic, &v.z}) {
      for (const char32_t f : *list) {
        if (f != c && gbkEncodes(f)) {
          map.emplace(c, f);
          break;
        }
      }
      if (map.count(c)) break;
    }
  }
  return map;
}

std::vector<Document> readUnihan(const std::filesystem::path& dir, Skipped& skipped) {
  std::vector<Document> docs;
  const std::optional<std::string> text = readUtf8(dir / "Unihan_Readings.txt.bz2", skipped);
  if (!text) return docs;
  struct Reading {
    std::string_view mandarin, definition;
  };
  std::map<char32_t, Reading> readings;
  forEachEntry(*text, [&](char32_t c, std::string_view field, std::string_view value) {
    if (field == "kMandarin" && gbkEncodes(c)) readings[c].mandarin = value;
    if (field == "kDefinition" && gbkEncodes(c)) readings[c].definition = value;
  });
  const std::map<char32_t, Variants> variants = readVariants(dir, skipped);

  docs.reserve(readings.size());
  for (const auto& [c, r] : readings) {
    Document d;
    d.site = Site::exact;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
    d.key = std::string("char-") + hex;
    d.title = utf8(c);
    d.link = std::string("Unihan U+") + hex;
    d.names.push_back(d.title);
    d.body = "字：" + d.title;
    if (!r.mandarin.empty()) {
      std::string pinyin(r.mandarin);
      for (std::size_t p; (p = pinyin.find(' ')) != std::string::npos;) pinyin.replace(p, 1, "、");
      d.body += "\n拼音：" + pinyin;
    }
    if (!r.definition.empty()) d.body += "\n英文释义：" + std::string(r.definition);
    if (const auto v = variants.find(c); v != variants.end()) {
      const std::string traditional = gbkForms(c, v->second.traditional, d.names);
      const std::string simplified = gbkForms(c, v->second.simplified, d.names);
      if (!traditional.empty()) d.body += "\n繁体：" + traditional;
      if (!simplified.empty()) d.body += "\n简体：" + simplified;
    }
    docs.push_back(std::move(d));
  }
  return docs;
}

}  // namespace qelvora::sites::knowledge
