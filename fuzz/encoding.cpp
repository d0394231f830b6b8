// The encodings. Texts made of characters of the published GBK and Big5 tables must convert exactly
// as the tables say and come back unchanged; any bytes at all must give well-formed GBK, UTF-8 or
// UTF-16 without NUL bytes; the traditional-to-simplified mapping keeps every length and every
// one-byte character.
#include <fuzzer/FuzzedDataProvider.h>
#include <iconv.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/reference_text.h"
#include "tests/support/code_pages.h"
#include "web/encoding.h"

using namespace qelvora;
using fuzz::expect;
using fuzz::expectText;

namespace {

struct Table {
  std::vector<std::pair<std::string, std::uint32_t>> codes;  // bytes -> code point, in file order
  std::map<std::string, std::uint32_t> toUnicode;
  std::map<std::uint32_t, std::string> fromUnicode;
};

Table loadTable(const char* name) {
  Table table;
  // In code order, which is the files' order.
  for (auto [code, u] : testing::readCodePageTable(std::string(QELVORA_FUZZ_TABLES) + "/" + name)) {
    if (code == 0) continue;  // texts end at NUL
    const std::string bytes = testing::codeBytes(code);
    table.codes.emplace_back(bytes, u);
    table.toUnicode[bytes] = u;
    table.fromUnicode.emplace(u, bytes);
  }
  if (table.codes.size() < 10000) fuzz::fail("code table not found", name);
  return table;
}

const Table& gbk() {
  static const Table table = loadTable("CP936.TXT");
  return table;
}
const Table& big5() {
  static const Table table = loadTable("CP950.TXT");
  return table;
}

std::string utf16(std::uint32_t cp) {
  return {static_cast<char>(cp & 0xFF), static_cast<char>(cp >> 8)};
}

// Well-formed GBK as iconv reads it: one-byte characters (0x80 is the euro sign) and the two-byte
// codes of the table; no NUL.
bool isGbk(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    if (c <= 0x80) {
      ++i;
      continue;
    }
    if (i + 1 >= s.size() || !gbk().toUnicode.contains(std::string(s.substr(i, 2)))) return false;
    i += 2;
  }
  return true;
}

// Well-formed UTF-8 without NUL: shortest forms, no surrogates, nothing beyond U+10FFFF.
bool isUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (c == 0 || n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// UTF-16LE units ending with exactly one zero unit.
bool isWideBuffer(const Bytes& wide) {
  std::string_view w = wide.view();
  if (w.size() < 2 || w.size() % 2 != 0) return false;
  for (std::size_t i = 0; i + 2 < w.size(); i += 2)
    if (w[i] == 0 && w[i + 1] == 0) return false;
  return w.substr(w.size() - 2) == std::string_view("\0\0", 2);
}

std::string percentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) fuzz::fail("cut-off escape");
    out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

void checkUrlEncoding(std::string_view what, const std::string& encoded, std::string_view bytes,
                      bool keepSafe) {
  expectText(what, percentDecode(encoded), bytes);
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c == '%') {
      for (char h : encoded.substr(i + 1, 2))
        expect((h >= '0' && h <= '9') || (h >= 'A' && h <= 'F'), "escape not upper-case hex");
      i += 2;
      continue;
    }
    bool safe = (c >= 0x2C && c <= 0x39) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    expect(keepSafe && safe, "byte left unescaped");
  }
}

// Same length, and every one-byte character where it was. Characters as GBK reads them: a lead byte
// is 0x81 to 0xFE (0x80 is the euro sign on its own).
void checkSimplified(std::string_view in, const std::string& out) {
  expect(out.size() == in.size(), "toSimplified changed the length");
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c >= 0x81 && c <= 0xFE && i + 1 < in.size())
      ++i;
    else if (out[i] != in[i])
      fuzz::fail("toSimplified changed a one-byte character:",
                 fuzz::describe(in) + " -> " + fuzz::describe(out));
  }
}

void checkGbkText(FuzzedDataProvider& in) {
  const auto& codes = gbk().codes;
  std::string text, wantUtf8, wantWide;
  while (in.remaining_bytes() > 1 && text.size() < 512) {
    const auto& [bytes, cp] = codes[in.ConsumeIntegral<std::uint16_t>() % codes.size()];
    text += bytes;
    wantUtf8 += testing::utf8Of(cp);
    wantWide += utf16(cp);
  }
  expectText("toWide from GBK", toWide(text, CodePage::Gbk).view(),
             wantWide + std::string(2, '\0'));
  expectText("gbkToUtf8", gbkToUtf8(text), wantUtf8);
  expectText("utf8ToGbk", utf8ToGbk(wantUtf8), text);
  expectText("fromWide to GBK", fromWide(toWide(wantUtf8, CodePage::Utf8), CodePage::Gbk), text);
  checkUrlEncoding("urlEncodeUtf8", urlEncodeUtf8(text), wantUtf8, false);
  checkUrlEncoding("urlEncodeGbk", urlEncodeGbk(text, true), text, true);
  const std::string simplified = toSimplified(text);
  checkSimplified(text, simplified);
  if (!isGbk(simplified))
    fuzz::fail("toSimplified made a character that is not GBK:",
               fuzz::describe(text) + " -> " + fuzz::describe(simplified));
}

void checkBig5Text(FuzzedDataProvider& in) {
  const auto& codes = big5().codes;
  std::string text, want;
  while (in.remaining_bytes() > 1 && text.size() < 512) {
    const auto& [bytes, cp] = codes[in.ConsumeIntegral<std::uint16_t>() % codes.size()];
    text += bytes;
    auto it = gbk().fromUnicode.find(cp);
    want += it != gbk().fromUnicode.end() ? it->second : "?";  // a character GBK lacks
  }
  expectText("big5ToGbk", big5ToGbk(text), want);
  expectText("big5ToSimplified", big5ToSimplified(text), toSimplified(want));
}

void checkAnyBytes(FuzzedDataProvider& in) {
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const std::string_view text(bytes.c_str());  // a text ends at its first NUL

  expect(isUtf8(gbkToUtf8(bytes)), "gbkToUtf8 gave malformed UTF-8");
  expect(isGbk(utf8ToGbk(bytes)), "utf8ToGbk gave malformed GBK");
  expect(isGbk(big5ToGbk(bytes)), "big5ToGbk gave malformed GBK");
  for (CodePage codePage : {CodePage::Ansi, CodePage::Gbk, CodePage::Big5, CodePage::Utf8,
                            static_cast<CodePage>(1252)}) {
    const Bytes wide = toWide(bytes, codePage);
    expect(isWideBuffer(wide), "toWide gave a malformed buffer");
    if (codePage == static_cast<CodePage>(1252))
      expect(wide.size() == 2, "unknown code page converted");
  }
  const Bytes raw(bytes);
  expect(isGbk(fromWide(raw, CodePage::Gbk)), "fromWide gave malformed GBK");
  expect(isUtf8(fromWide(raw, CodePage::Utf8)), "fromWide gave malformed UTF-8");
  expect(fromWide(raw, CodePage::Big5).find('\0') == std::string::npos, "fromWide gave a NUL");
  checkUrlEncoding("urlEncodeGbk", urlEncodeGbk(bytes), text, false);
  checkSimplified(bytes, toSimplified(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // glibc unloads a code-page module when its last converter closes and loads it again for the
  // next: one converter of each kept open here spares every run that cost.
  static iconv_t kept[] = {iconv_open("UTF-16LE", "CP936"), iconv_open("UTF-16LE", "CP950")};
  (void)kept;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      checkGbkText(in);
      break;
    case 1:
      checkBig5Text(in);
      break;
    default:
      checkAnyBytes(in);
  }
  return 0;
}
