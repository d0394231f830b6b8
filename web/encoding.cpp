#include "web/encoding.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <opencc/Lexicon.hpp>
#include <opencc/MarisaDict.hpp>
#include <opencc/SerializableDict.hpp>

namespace qelvora {

namespace {

// How many input bytes make up the character that iconv refused at `p`, so that it can be
// replaced by one "?" and skipped. iconv refuses both malformed input and characters that the
// target cannot hold; either way one source character goes.
enum class Source { kUtf16le, kUtf8, kGbk, kBig5 };

std::size_t refusedLength(Source source, const unsigned char* p, std::size_t left) {
  switch (source) {
    case Source::kUtf16le: {
      if (left < 2) return left;
      unsigned unit = p[0] | (p[1] << 8);
      if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
        unsigned next = p[2] | (p[3] << 8);
        if (next >= 0xDC00 && next <= 0xDFFF) return 4;
      }
      return 2;
    }
    case Source::kUtf8: {
      // The lead byte and the continuation bytes that hang on it.
      std::size_t n = 1;
      while (n < 4 && n < left && (p[n] & 0xC0) == 0x80) ++n;
      return n;
    }
    case Source::kGbk:
      if (left >= 2 && p[0] >= 0x81 && p[0] <= 0xFE && p[1] >= 0x40 && p[1] <= 0xFE && p[1] != 0x7F)
        return 2;
      return 1;
    case Source::kBig5:
      if (left >= 2 && p[0] >= 0x81 && p[0] <= 0xFE &&
          ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0xA1 && p[1] <= 0xFE)))
        return 2;
      return 1;
  }
  return 1;
}

struct Encoding {
  const char* iconvName;
  Source source;
};

const Encoding* encodingFor(CodePage codePage) {
  static const Encoding kGbk{"CP936", Source::kGbk};
  static const Encoding kBig5{"CP950", Source::kBig5};
  static const Encoding kUtf8{"UTF-8", Source::kUtf8};
  switch (codePage) {
    case CodePage::Ansi:
    case CodePage::Gbk:
      return &kGbk;
    case CodePage::Big5:
      return &kBig5;
    case CodePage::Utf8:
      return &kUtf8;
  }
  return nullptr;
}

constexpr const char* kWideName = "UTF-16LE";

struct Converted {
  std::string bytes;
  bool substituted = false;  // some input character became "?"
};

// Converts `in` from one encoding to another. Never fails and never stops early: every refused
// or cut-off input character becomes `question` (a "?" in the target encoding). An encoding pair
// that iconv does not know gives the empty result.
Converted convert(std::string_view in, const char* from, Source source, const char* to,
                  std::string_view question, std::size_t bytesPerInputByte) {
  Converted result;
  if (in.empty()) return result;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return result;

  std::string& out = result.bytes;
  out.resize(in.size() * bytesPerInputByte + 16);
  char* inPtr = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  std::size_t used = 0;

  auto ensureRoom = [&](std::size_t need) {
    if (out.size() - used < need) out.resize(std::max(out.size() * 2, used + need));
  };

  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    int error = errno;
    used = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (error == E2BIG) {
      ensureRoom(out.size());  // doubles
      continue;
    }
    if (error == EILSEQ || error == EINVAL) {
      std::size_t skip =
          error == EINVAL ? inLeft
                          : refusedLength(source, reinterpret_cast<unsigned char*>(inPtr), inLeft);
      if (skip == 0 || skip > inLeft) skip = inLeft;
      inPtr += skip;
      inLeft -= skip;
      ensureRoom(question.size());
      out.replace(used, question.size(), question);
      used += question.size();
      result.substituted = true;
      continue;
    }
    break;  // no other error is expected; keep what was converted
  }
  // Flush any shift state (none of these encodings has one, but the call is cheap).
  for (;;) {
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    std::size_t rc = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc == static_cast<std::size_t>(-1) && errno == E2BIG) {
      ensureRoom(out.size());
      continue;
    }
    break;
  }
  iconv_close(cd);
  out.resize(used);
  return result;
}

std::string_view upToNul(std::string_view text) {
  std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// UTF-16LE up to (not including) the first zero unit; an odd last byte is not a unit.
std::string_view wideUnits(const Bytes& wide) {
  std::string_view all = wide.view();
  std::size_t units = all.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    if (all[2 * i] == 0 && all[2 * i + 1] == 0) return all.substr(0, 2 * i);
  }
  return all.substr(0, 2 * units);
}

Converted wideToPage(const Bytes& wide, const Encoding& target) {
  // GBK and Big5 take at most 2 bytes per UTF-16 unit (2 bytes); UTF-8 at most 3 per unit.
  std::size_t perByte = target.source == Source::kUtf8 ? 2 : 1;
  return convert(wideUnits(wide), kWideName, Source::kUtf16le, target.iconvName, "?", perByte);
}

// A GBK character as its 16-bit code (lead byte high), for the simplification table.
std::uint16_t gbkCode(std::string_view ch) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(ch[0]) << 8) |
                                    static_cast<unsigned char>(ch[1]));
}

// Traditional -> simplified, one two-byte GBK character to another, built once from the OpenCC
// character dictionary. Only character-for-character mappings that stay two GBK bytes are taken,
// so mapping a text never changes its length or its character boundaries. 0 = no mapping.
using SimplifyTable = std::array<std::uint16_t, 0x10000>;

std::unique_ptr<SimplifyTable> loadSimplifyTable() {
  auto table = std::make_unique<SimplifyTable>();
  table->fill(0);
  static const char* const kDictionaryPaths[] = {
      "/usr/share/opencc/TSCharacters.ocd2",
      "/usr/local/share/opencc/TSCharacters.ocd2",
  };
  opencc::MarisaDictPtr dict;
  for (const char* path : kDictionaryPaths) {
    try {
      if (opencc::SerializableDict::TryLoadFromFile<opencc::MarisaDict>(path, &dict) && dict) break;
    } catch (const std::exception&) {
      dict.reset();  // a damaged file: try the next place
    }
  }
  if (!dict) return table;  // without the dictionary the text is kept as it is

  const Encoding& gbk = *encodingFor(CodePage::Gbk);
  auto strictGbk = [&](const std::string& utf8) -> std::string {
    Converted wide =
        convert(utf8, "UTF-8", Source::kUtf8, kWideName, std::string_view("?\0", 2), 2);
    if (wide.substituted) return {};
    Converted page = wideToPage(Bytes(std::move(wide.bytes)), gbk);
    if (page.substituted) return {};
    return std::move(page.bytes);
  };
  for (const auto& entry : *dict->GetLexicon()) {
    std::string key = strictGbk(entry->Key());
    if (key.size() != 2 || static_cast<unsigned char>(key[0]) < 0x80) continue;
    std::string value = strictGbk(entry->GetDefault());
    if (value.size() != 2 || static_cast<unsigned char>(value[0]) < 0x80 || value == key) continue;
    (*table)[gbkCode(key)] = gbkCode(value);
  }
  return table;
}

const SimplifyTable& simplifyTable() {
  static const std::unique_ptr<SimplifyTable> table = loadSimplifyTable();
  return *table;
}

Text percentEncode(std::string_view bytes, bool keepSafe) {
  static const char kHex[] = "0123456789ABCDEF";
  Text out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    auto x = static_cast<unsigned char>(c);
    if (keepSafe &&
        ((x >= 0x2C && x <= 0x39) || (x >= 0x41 && x <= 0x5A) || (x >= 0x61 && x <= 0x7A))) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[x >> 4]);
      out.push_back(kHex[x & 0x0F]);
    }
  }
  return out;
}

}  // namespace

Bytes toWide(std::string_view text, CodePage codePage) {
  std::string units;
  if (const Encoding* source = encodingFor(codePage)) {
    units = convert(upToNul(text), source->iconvName, source->source, kWideName,
                    std::string_view("?\0", 2), 2)
                .bytes;
  }
  units.append(2, '\0');
  return Bytes(std::move(units));
}

Text fromWide(const Bytes& wide, CodePage codePage) {
  const Encoding* target = encodingFor(codePage);
  if (target == nullptr) return {};
  return wideToPage(wide, *target).bytes;
}

Text gbkToUtf8(std::string_view text) {
  return fromWide(toWide(text, CodePage::Gbk), CodePage::Utf8);
}

Text utf8ToGbk(std::string_view utf8) {
  return fromWide(toWide(utf8, CodePage::Utf8), CodePage::Gbk);
}

// A Big5 character that GBK lacks becomes "?" like in every other conversion, rather than
// ending the text there.
Text big5ToGbk(std::string_view text) {
  return fromWide(toWide(text, CodePage::Big5), CodePage::Gbk);
}

Text toSimplified(std::string_view text) {
  const SimplifyTable& table = simplifyTable();
  Text out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    // Characters as GBK itself reads them: 0x80 (the euro sign, which a Big5 page may carry) and
    // 0xFF stand alone, so the pair after a euro sign is not cut in the middle.
    const auto lead = static_cast<unsigned char>(out[i]);
    if (lead < 0x81 || lead == 0xFF || i + 1 >= out.size()) continue;
    std::uint16_t mapped = table[gbkCode(std::string_view(out).substr(i, 2))];
    if (mapped != 0) {
      out[i] = static_cast<char>(mapped >> 8);
      out[i + 1] = static_cast<char>(mapped & 0xFF);
    }
    ++i;  // past the trail byte
  }
  return out;
}

Text big5ToSimplified(std::string_view text) {
  return toSimplified(big5ToGbk(text));
}

Text urlEncodeUtf8(std::string_view text, bool keepSafe) {
  return percentEncode(gbkToUtf8(text), keepSafe);
}

Text urlEncodeGbk(std::string_view text, bool keepSafe) {
  return percentEncode(upToNul(text), keepSafe);
}

}  // namespace qelvora
