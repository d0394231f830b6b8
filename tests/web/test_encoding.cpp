#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "tests/support/code_pages.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::codeBytes;
using testing::readCodePageTable;
using testing::utf8Of;

const std::map<std::uint32_t, std::uint32_t>& gbkTable() {
  static const auto table = readCodePageTable(std::string(QELVORA_TEST_DATA_DIR) + "/CP936.TXT");
  return table;
}

const std::map<std::uint32_t, std::uint32_t>& big5Table() {
  static const auto table = readCodePageTable(std::string(QELVORA_TEST_DATA_DIR) + "/CP950.TXT");
  return table;
}

std::string utf16(std::uint32_t cp) {
  auto unit = [](std::uint32_t u) {
    return std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  };
  if (cp < 0x10000) return unit(cp);
  cp -= 0x10000;
  return unit(0xD800 + (cp >> 10)) + unit(0xDC00 + (cp & 0x3FF));
}

Bytes wide(const std::string& units) {
  return Bytes(units + std::string(2, '\0'));
}

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
    out += ' ';
  }
  return out;
}

// Collected rather than asserted one by one, so that a broken converter reports a few codes
// instead of thousands of lines.
struct Mismatches {
  int count = 0;
  std::string first;
  void add(std::uint32_t code, const std::string& what) {
    if (++count <= 5) first += hex(codeBytes(code)) + ": " + what + "\n";
  }
};

TEST(Encoding, TablesLoaded) {
  EXPECT_GT(gbkTable().size(), 21000u);
  EXPECT_GT(big5Table().size(), 13000u);
}

TEST(Encoding, EveryGbkCodeBothWays) {
  Mismatches bad;
  int checked = 0;
  for (auto [code, cp] : gbkTable()) {
    if (code <= 0xFF) continue;
    ++checked;
    std::string gbk = codeBytes(code);
    Bytes w = toWide(gbk, CodePage::Gbk);
    if (w != wide(utf16(cp))) bad.add(code, "to UTF-16 gave " + hex(w.data));
    Text back = fromWide(wide(utf16(cp)), CodePage::Gbk);
    if (back != gbk) bad.add(code, "from UTF-16 gave " + hex(back));
  }
  EXPECT_GT(checked, 21000);
  EXPECT_EQ(bad.count, 0) << bad.first;
}

TEST(Encoding, EveryBig5CodeToWideAndToGbk) {
  std::map<std::uint32_t, std::uint32_t> gbkOf;  // code point -> GBK code
  for (auto [code, cp] : gbkTable()) gbkOf[cp] = code;
  Mismatches bad;
  int missingInGbk = 0;
  for (auto [code, cp] : big5Table()) {
    if (code <= 0xFF) continue;
    std::string big5 = codeBytes(code);
    Bytes w = toWide(big5, CodePage::Big5);
    if (w != wide(utf16(cp))) bad.add(code, "to UTF-16 gave " + hex(w.data));
    auto it = gbkOf.find(cp);
    std::string expected = it != gbkOf.end() ? codeBytes(it->second) : "?";
    if (it == gbkOf.end()) ++missingInGbk;
    // Between two characters, so that a conversion that stops at the character would show.
    Text gbk = big5ToGbk("a" + big5 + "b");
    if (gbk != "a" + expected + "b") bad.add(code, "to GBK gave " + hex(gbk));
  }
  EXPECT_GT(missingInGbk, 0);  // the table holds characters GBK lacks: the "?" rule was exercised
  EXPECT_EQ(bad.count, 0) << bad.first;
}

TEST(Encoding, Big5CharacterMissingInGbkBecomesQuestionMark) {
  // A4 40 is 一, A1 45 (hyphenation point U+2027) has no GBK form.
  EXPECT_EQ(big5ToGbk("\xA4\x40\xA1\x45\xA4\x40"), "\xD2\xBB?\xD2\xBB");
}

TEST(Encoding, AllGbkCharactersRoundTripThroughUtf8) {
  std::string gbk, expectedUtf8;
  for (auto [code, cp] : gbkTable()) {
    if (code == 0) continue;  // a text ends at NUL
    gbk += codeBytes(code);
    expectedUtf8 += utf8Of(cp);
  }
  Text u = gbkToUtf8(gbk);
  EXPECT_TRUE(u == expectedUtf8) << "UTF-8 differs from the table";
  EXPECT_TRUE(utf8ToGbk(u) == gbk) << "round trip differs";
}

TEST(Encoding, EuroSignAndSingleBytes) {
  EXPECT_EQ(toWide("\x80", CodePage::Gbk), wide(utf16(0x20AC)));
  EXPECT_EQ(fromWide(wide(utf16(0x20AC)), CodePage::Gbk), "\x80");
  EXPECT_EQ(toWide("A\x7F", CodePage::Gbk), wide(utf16('A') + utf16(0x7F)));
  EXPECT_EQ(fromWide(wide(utf16(0x20AC)), CodePage::Ansi),
            "\x80");  // the ANSI code page is GBK too
}

struct BadInputCase {
  std::string name;
  std::string text;
  CodePage codePage;
  std::string expectedUnits;  // UTF-16LE, without the zero unit
};

// Malformed and truncated input: every bad character becomes one "?" and the rest is kept.
TEST(Encoding, MalformedInputBecomesQuestionMarks) {
  const std::string q = utf16('?');
  const std::string a = utf16('a');
  const std::string b = utf16('b');
  const BadInputCase cases[] = {
      {"gbk lead byte cut off at the end", "a\xB0", CodePage::Gbk, a + q},
      {"gbk lone 0xFF",
       "a\xFF"
       "b",
       CodePage::Gbk, a + q + b},
      {"gbk lead byte before ASCII", "\x81 b", CodePage::Gbk, q + utf16(' ') + b},
      {"gbk user-defined area",
       "a\xAA\xA1"
       "b",
       CodePage::Gbk, a + q + b},
      {"big5 lead byte cut off", "\xA4", CodePage::Big5, q},
      {"utf8 stray continuation",
       "a\x80"
       "b",
       CodePage::Utf8, a + q + b},
      {"utf8 lone 0xFF", "\xFF", CodePage::Utf8, q},
      {"utf8 cut off at the end", "a\xE5\xA4", CodePage::Utf8, a + q},
      {"utf8 cut off before ASCII",
       "a\xE5\xA4"
       "b",
       CodePage::Utf8, a + q + b},
      {"utf8 overlong slash",
       "\xC0\xAF"
       "b",
       CodePage::Utf8, q + b},
      {"utf8 encoded surrogate",
       "\xED\xA0\x80"
       "b",
       CodePage::Utf8, q + b},
      {"stops at NUL", std::string("ab\0cd", 5), CodePage::Utf8, a + b},
      {"empty", "", CodePage::Utf8, ""},
      {"utf8 astral", "\xF0\x9F\x98\x80", CodePage::Utf8, utf16(0x1F600)},
  };
  for (const BadInputCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(toWide(c.text, c.codePage).data), hex(c.expectedUnits + std::string(2, '\0')));
  }
}

struct FromWideCase {
  std::string name;
  std::string block;
  CodePage codePage;
  std::string expected;
};

TEST(Encoding, FromWideReplacesWhatTheTargetLacks) {
  const FromWideCase cases[] = {
      {"Thai letter", utf16('a') + utf16(0x0E01) + utf16('b'), CodePage::Gbk, "a?b"},
      {"astral pair is one character", utf16(0x1F600) + utf16('b'), CodePage::Gbk, "?b"},
      {"lone high surrogate", utf16(0xD800) + utf16('b'), CodePage::Gbk, "?b"},
      {"lone low surrogate at the end", utf16('a') + utf16(0xDC00), CodePage::Utf8, "a?"},
      {"simplified-only character in Big5", utf16(0x4E2A), CodePage::Big5, "?"},  // 个
      {"stops at the first zero unit", utf16('a') + utf16(0) + utf16('b'), CodePage::Gbk, "a"},
      {"odd last byte ignored", utf16('a') + "b", CodePage::Gbk, "a"},
      {"no terminator needed", utf16('a'), CodePage::Utf8, "a"},
      {"utf8 of astral", utf16(0x1F600), CodePage::Utf8, "\xF0\x9F\x98\x80"},
      {"empty block", "", CodePage::Gbk, ""},
  };
  for (const FromWideCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(fromWide(Bytes(c.block), c.codePage)), hex(c.expected));
  }
}

TEST(Encoding, GarbageNeverBreaksTheConverters) {
  // Every byte pair, in every code page: the result is always produced and never holds a NUL.
  std::string all;
  for (int i = 1; i < 256; ++i) {
    for (int j = 1; j < 256; j += 7) {
      all += static_cast<char>(i);
      all += static_cast<char>(j);
    }
  }
  for (CodePage codePage : {CodePage::Gbk, CodePage::Big5, CodePage::Utf8}) {
    SCOPED_TRACE(static_cast<int>(codePage));
    Bytes w = toWide(all, codePage);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w.size() % 2, 0u);
    Text back = fromWide(w, codePage);
    EXPECT_EQ(back.find('\0'), Text::npos);
    EXPECT_FALSE(back.empty());
  }
  EXPECT_FALSE(utf8ToGbk(all).empty());
  EXPECT_FALSE(big5ToSimplified(all).empty());
}

TEST(Encoding, ToSimplifiedMapsCharactersInPlace) {
  // 國 體 說 門 -> 国 体 说 门, looked up in the published GBK table.
  struct Case {
    std::uint32_t traditional, simplified;
  } cases[] = {{0x570B, 0x56FD}, {0x9AD4, 0x4F53}, {0x8AAA, 0x8BF4}, {0x9580, 0x95E8}};
  std::map<std::uint32_t, std::uint32_t> gbkOf;
  for (auto [code, cp] : gbkTable()) gbkOf[cp] = code;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.traditional);
    ASSERT_TRUE(gbkOf.count(c.traditional) && gbkOf.count(c.simplified));
    std::string from = "x" + codeBytes(gbkOf[c.traditional]) + "y";
    EXPECT_EQ(hex(toSimplified(from)), hex("x" + codeBytes(gbkOf[c.simplified]) + "y"));
  }
  // Big5 國 (B0EA) arrives as simplified GBK 国 (B9FA), also behind a euro sign, which GBK holds
  // in the one byte 0x80.
  EXPECT_EQ(hex(big5ToSimplified("\xB0\xEA")), hex("\xB9\xFA"));
  EXPECT_EQ(hex(big5ToSimplified("\xA3\xE1\xB0\xEA")), hex("\x80\xB9\xFA"));
}

TEST(Encoding, ToSimplifiedKeepsLengthAndSimplifiedText) {
  const std::string kept[] = {
      "",
      "plain ASCII 123 <>&",
      "\xD6\xD0\xCE\xC4",  // 中文
      "\xB9\xFA\xBC\xD2",  // 国家
      "a\xB0",             // a lead byte with nothing after it
  };
  for (const std::string& text : kept) EXPECT_EQ(hex(toSimplified(text)), hex(text));

  // Over every GBK character: the length stays and every character is still a GBK character.
  std::string all;
  for (auto [code, cp] : gbkTable()) {
    if (code > 0xFF) all += codeBytes(code);
  }
  Text simplified = toSimplified(all);
  ASSERT_EQ(simplified.size(), all.size());
  int changed = 0;
  for (std::size_t i = 0; i < all.size(); i += 2) {
    std::uint32_t code = (static_cast<unsigned char>(simplified[i]) << 8) |
                         static_cast<unsigned char>(simplified[i + 1]);
    EXPECT_TRUE(gbkTable().count(code)) << hex(simplified.substr(i, 2));
    if (simplified.compare(i, 2, all, i, 2) != 0) ++changed;
  }
  EXPECT_GT(changed, 1000);  // GBK holds thousands of traditional characters
}

struct UrlEncodeCase {
  std::string text;
  bool keepSafe;
  std::string utf8, gbk;
};

TEST(Encoding, UrlEncoders) {
  const UrlEncodeCase cases[] = {
      {"", false, "", ""},
      {"\xCC\xEC", false, "%E5%A4%A9", "%CC%EC"},  // 天
      {"ab", false, "%61%62", "%61%62"},
      {"\t \x7F", false, "%09%20%7F", "%09%20%7F"},
      {",-./09AZaz", true, ",-./09AZaz", ",-./09AZaz"},
      {"_~* +:@", true, "%5F%7E%2A%20%2B%3A%40", "%5F%7E%2A%20%2B%3A%40"},
      {"a\xCC\xEC", true, "a%E5%A4%A9", "a%CC%EC"},
  };
  for (const UrlEncodeCase& c : cases) {
    SCOPED_TRACE(hex(c.text) + (c.keepSafe ? " keepSafe" : ""));
    EXPECT_EQ(urlEncodeUtf8(c.text, c.keepSafe), c.utf8);
    EXPECT_EQ(urlEncodeGbk(c.text, c.keepSafe), c.gbk);
  }
}

}  // namespace
}  // namespace qelvora
