#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <random>
#include <string>

#include "base/bytes.h"
#include "base/text.h"
#include "base/text_cut.h"

namespace qelvora {
namespace {

// ---- Straightforward reference walks, one byte comparison at a time -------------------------

bool refEqualAt(const std::string& t, std::size_t i, const std::string& p, bool ignoreCase) {
  for (std::size_t k = 0; k < p.size(); ++k) {
    unsigned char a = t[i + k], b = p[k];
    if (ignoreCase) {
      if (a >= 'A' && a <= 'Z') a += 32;
      if (b >= 'A' && b <= 'Z') b += 32;
    }
    if (a != b) return false;
  }
  return true;
}

std::size_t refStep(const std::string& t, std::size_t i) {
  return (static_cast<unsigned char>(t[i]) >= 0x80 && i + 1 < t.size()) ? 2 : 1;
}

int refFind(const std::string& t, const std::string& p, int start, bool ignoreCase) {
  const long long s = start < 1 ? 0 : static_cast<long long>(start) - 1;
  if (s >= static_cast<long long>(t.size())) return -1;
  if (p.empty()) return 1;
  for (std::size_t i = s; t.size() - i >= p.size(); i += refStep(t, i)) {
    if (refEqualAt(t, i, p, ignoreCase)) return static_cast<int>(i + 1);
  }
  return -1;
}

std::string refReplace(const std::string& t, const std::string& p, const std::string& r, int start,
                       std::optional<int> limit, bool caseSensitive) {
  const long long s = start < 1 ? 0 : static_cast<long long>(start) - 1;
  if (t.empty() || p.empty() || s >= static_cast<long long>(t.size()) || (limit && *limit == 0))
    return t;
  std::string out = t.substr(0, s);
  std::size_t i = s;
  int count = 0;
  while (t.size() - i >= p.size()) {
    if (refEqualAt(t, i, p, !caseSensitive)) {
      out += r;
      i += p.size();
      if (limit && ++count == *limit) break;
    } else {
      const std::size_t n = refStep(t, i);
      out += t.substr(i, n);
      i += n;
    }
  }
  return out + t.substr(i);
}

// Text built from pieces that stress the character step: ASCII, two-byte characters whose trail
// byte is an ASCII letter or '/', full two-byte characters, and sometimes a lone lead at the end.
std::string randomText(std::mt19937& rng, std::size_t maxPieces) {
  static const std::string ascii = "aAbBrR/<> x";
  static const std::string trails = "aAbBrR/<x\xA1\xB0\xC4";
  std::uniform_int_distribution<std::size_t> pieces(0, maxPieces);
  std::string t;
  const std::size_t n = pieces(rng);
  for (std::size_t k = 0; k < n; ++k) {
    switch (rng() % 3) {
      case 0:
        t += ascii[rng() % ascii.size()];
        break;
      case 1:
        t += static_cast<char>(0x81 + rng() % 0x7E);
        t += trails[rng() % trails.size()];
        break;
      default:
        t += "\xD6\xD0";
        break;
    }
  }
  if (rng() % 4 == 0) t += static_cast<char>(0x81 + rng() % 0x7E);
  return t;
}

std::string randomPattern(std::mt19937& rng, const std::string& text) {
  // Mostly pieces of the text itself (so there are matches, some straddling characters).
  if (!text.empty() && rng() % 4 != 0) {
    const std::size_t at = rng() % text.size();
    std::string p = text.substr(at, 1 + rng() % 4);
    if (rng() % 2 == 0) {
      for (char& c : p) {
        if (c >= 'a' && c <= 'z')
          c -= 32;
        else if (c >= 'A' && c <= 'Z')
          c += 32;
      }
    }
    return p;
  }
  return randomText(rng, 2);
}

int randomStart(std::mt19937& rng, std::size_t length) {
  switch (rng() % 8) {
    case 0:
      return INT_MIN;
    case 1:
      return INT_MAX;
    case 2:
      return 1;
    default:
      return static_cast<int>(rng() % (length + 4)) - 1;
  }
}

TEST(TextProperty, FindTextMatchesReferenceWalk) {
  std::mt19937 rng(20140305);
  for (int round = 0; round < 20000; ++round) {
    const std::string t = randomText(rng, round % 50 == 0 ? 400 : 24);
    const std::string p = randomPattern(rng, t);
    const int start = randomStart(rng, t.size());
    for (bool ignoreCase : {false, true}) {
      ASSERT_EQ(findText(t, p, start, ignoreCase), refFind(t, p, start, ignoreCase))
          << "round " << round << " start " << start << " ignoreCase " << ignoreCase;
    }
  }
}

TEST(TextProperty, ReplaceTextMatchesReferenceWalk) {
  std::mt19937 rng(19991230);
  const std::optional<int> limits[] = {std::nullopt, 0, 1, 2, -1};
  const std::string replacements[] = {"", "R", "\r\n", "\xD6"};
  for (int round = 0; round < 20000; ++round) {
    const std::string t = randomText(rng, round % 50 == 0 ? 400 : 24);
    const std::string p = randomPattern(rng, t);
    const std::string& r = replacements[rng() % 4];
    const int start = randomStart(rng, t.size());
    const auto limit = limits[rng() % 5];
    for (bool caseSensitive : {true, false}) {
      ASSERT_EQ(replaceText(t, p, r, start, limit, caseSensitive),
                refReplace(t, p, r, start, limit, caseSensitive))
          << "round " << round << " start " << start << " caseSensitive " << caseSensitive;
    }
  }
}

// Long inputs cross the 16-byte blocks of the fast scan and the 8-byte steps of the boundary walk.
TEST(TextProperty, LongRunsOfTwoByteCharactersAgreeWithReference) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string t;
    const int runs = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < runs; ++k) {
      const int pairs = static_cast<int>(rng() % 40);
      for (int j = 0; j < pairs; ++j) t += rng() % 5 == 0 ? "\xC4r" : "\xC4\xE3";
      t += std::string(rng() % 20, 'r');
      if (rng() % 3 == 0) t += "r/";
    }
    for (const std::string p : {"r", "r/", "\xE3\xC4", "\xC4\xE3r", "R/"}) {
      for (bool ic : {false, true}) {
        ASSERT_EQ(findText(t, p, 1, ic), refFind(t, p, 1, ic)) << round;
        ASSERT_EQ(replaceText(t, p, "#", 1, std::nullopt, !ic),
                  refReplace(t, p, "#", 1, std::nullopt, !ic))
            << round;
      }
    }
  }
}

// ---- Worked cases -----------------------------------------------------------------------------

struct FindCase {
  std::string text, pattern;
  int start;
  bool ignoreCase;
  int expected;
};

TEST(TextFind, WorkedCases) {
  const FindCase cases[] = {
      {"abcabc", "c", 4, false, 6},
      {"ab", "", 1, false, 1},
      {"", "", 1, false, -1},
      {"ab", "a", 5, false, -1},
      {"x<br>", "<BR", 1, true, 2},
      {"x<br>", "<BR", 1, false, -1},
      {"\xD6\xD0\xCE\xC4", "\xD0\xCE", 1, false, -1},  // straddles two characters
      {"\xD6\xD0\xCE\xC4", "\xCE\xC4", 1, false, 3},
      // Starting on a trail byte makes it a character start of its own.
      {"\xD6\x41\x41", "\x41\x41", 2, false, 2},
      {"\xD6\x41\x41", "\x41", 1, false, 3},
      {"\xD6\x61", "A", 1, true, -1},   // a trail letter never starts a match
      {"ab\xD6", "\xD6", 1, false, 3},  // a lone lead byte at the end is a character
      {"abc", "abcd", 1, false, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(findText(c.text, c.pattern, c.start, c.ignoreCase), c.expected)
        << c.text << " / " << c.pattern;
  }
}

struct ReplaceCase {
  std::string text, pattern, replacement;
  int start;
  std::optional<int> limit;
  bool caseSensitive;
  std::string expected;
};

TEST(TextReplace, WorkedCases) {
  const ReplaceCase cases[] = {
      {"aaa", "aa", "b", 1, std::nullopt, true, "ba"},
      {"xay", "a", "", 1, std::nullopt, true, "xy"},
      {"a.a.a", "a", "b", 1, 1, true, "b.a.a"},
      {"a.a.a", "a", "b", 2, std::nullopt, true, "a.b.b"},
      {"a.a.a", "a", "b", 6, std::nullopt, true, "a.a.a"},
      {"<BR>x<br>", "<br>", "\r\n", 1, std::nullopt, false, "\r\n\x78\r\n"},
      {"<BR>x<br>", "<br>", "\r\n", 1, std::nullopt, true, "<BR>x\r\n"},
      {"\xB7r/x", "r/", "", 1, std::nullopt, true, "\xB7r/x"},  // r/ inside a character stays
      {"server/x", "r/", "", 1, std::nullopt, true, "servex"},
      {"ab", "ab", "abab", 1, std::nullopt, true, "abab"},  // replacements are not rescanned
  };
  for (const auto& c : cases) {
    EXPECT_EQ(replaceText(c.text, c.pattern, c.replacement, c.start, c.limit, c.caseSensitive),
              c.expected)
        << c.text << " / " << c.pattern;
  }
}

TEST(TextCut, ByteBasedCuts) {
  EXPECT_EQ(midText("abc", 2, 10), "bc");
  EXPECT_EQ(midText("abc", 0, 1), "");
  EXPECT_EQ(midText("abc", 4, 1), "");
  EXPECT_EQ(midText("\xD6\xD0", 2, 1), "\xD0");  // may cut a character in half
  EXPECT_EQ(leftText("abc", 2), "ab");
  EXPECT_EQ(leftText("abc", -1), "");
  EXPECT_EQ(rightText("abc", 2), "bc");
  EXPECT_EQ(rightText("abc", 9), "abc");
  EXPECT_EQ(codeAt("\xD6\xD0", 1), -42);
  EXPECT_EQ(codeAt("\xD6\xD0", 3), 0);
  EXPECT_EQ(codeAt("A", 0), 0);
  EXPECT_EQ(charFromCode(0x141), "A");
  EXPECT_EQ(charFromCode(0x100), "");
  EXPECT_EQ(replaceRange("0123456789abcdef", 1, 12), "cdef");
  EXPECT_EQ(replaceRange("abc", 2, 1, "XY"), "aXYc");
  EXPECT_EQ(replaceRange("abc", 9, 5, "Z"), "abcZ");
  EXPECT_EQ(replaceRange("abc", -3, -1, "Z"), "Zabc");
}

// Arguments at the ends of the int range must clamp, never wrap or read outside the text.
TEST(TextCut, ExtremeArgumentsClamp) {
  const std::string t = "ab\xD6\xD0";
  for (int v : {INT_MIN, -1, 0, INT_MAX}) {
    SCOPED_TRACE(v);
    EXPECT_EQ(findText(t, "a", v), v <= 1 ? 1 : -1);
    EXPECT_EQ(codeAt(t, v), 0);
    EXPECT_EQ(midText(t, v, v), "");
    EXPECT_EQ(leftText(t, v), v > 0 ? t : "");
    EXPECT_EQ(rightText(t, v), v > 0 ? t : "");
    EXPECT_EQ(spaces(v <= 0 ? v : 0), "");
    EXPECT_TRUE(zeroBytes(v <= 0 ? v : 0).empty());
  }
  EXPECT_EQ(midText(t, 2, INT_MAX), "b\xD6\xD0");
  EXPECT_EQ(replaceRange(t, INT_MAX, INT_MAX, "z"), t + "z");
  EXPECT_EQ(replaceRange(t, 2, INT_MAX), "a");
  EXPECT_EQ(replaceText(t, "a", "b", INT_MAX), t);
  EXPECT_EQ(replaceText(t, "a", "b", INT_MIN), "bb\xD6\xD0");
  EXPECT_EQ(bytesToInt(toBytes(t), INT_MAX), 0);
  EXPECT_EQ(bytesToInt(toBytes(t), INT_MIN), 0);
}

struct TextBeforeCase {
  std::string text, delimiter;
  int start;
  bool ignoreCase;
  std::string expected;
};

TEST(TextCut, TextBefore) {
  const TextBeforeCase cases[] = {
      {"a=b; path=/", ";", 1, false, "a=b"},
      {"a=b", ";", 1, false, ""},
      {"a;b;c", ";", 3, false, "a;b"},
      {"a;b;c", ";", 0, false, "a"},
      {"a;b;c", ";", -5, false, "a"},
      {"a;b;c", ";", 9, false, ""},
      {"Name=x; Path=/", "; path", 1, true, "Name=x"},
      {"Name=x; Path=/", "; path", 1, false, ""},
      {"", ";", 1, false, ""},
  };
  for (const TextBeforeCase& c : cases) {
    SCOPED_TRACE(c.text + " | " + c.delimiter + " | " + std::to_string(c.start));
    EXPECT_EQ(textBefore(c.text, c.delimiter, c.start, c.ignoreCase), c.expected);
  }
  EXPECT_EQ(textBefore("a=b; path=/", ";"), "a=b");  // the defaults
}

TEST(TextSpaces, TrimAndRemove) {
  const struct {
    std::string in, trimmed, removed;
  } cases[] = {
      {"\xA1\xA1 ab \xA1\xA1", "ab", "ab"},
      {"\tab\r\n", "\tab\r\n", "\tab\r\n"},
      {" a b ", "a b", "ab"},
      {"\xB0\xA1\xA1\xB0 ", "\xB0\xA1\xA1\xB0", "\xB0\xA1\xA1\xB0"},  // A1 A1 straddles
      {"ab  \xC4", "ab  ", "ab"},  // lone lead dropped, spaces before stay
      {"\xA1", "", ""},
      {"   ", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimSpaces(c.in), c.trimmed) << c.in;
    EXPECT_EQ(removeSpaces(c.in), c.removed) << c.in;
  }
}

TEST(TextCase, UpperLowerLeaveTwoByteCharacters) {
  EXPECT_EQ(toUpper("ab\xC4r\xD6"), "AB\xC4r\xD6");
  EXPECT_EQ(toLower("AB\xC4R\xD6\xD0Z"), "ab\xC4R\xD6\xD0z");
}

TEST(TextCompare, CharacterOrderAndFolding) {
  const struct {
    std::string a, b;
    bool caseSensitive;
    int sign;
  } cases[] = {
      {"http://", "HTTP://", false, 0}, {"http://", "HTTP://", true, 1},
      {"abc", "abd", true, -1},         {"ab", "abc", true, -1},
      {"\xC4r", "\xC4R", false, 1},  // trail letters are not folded
      {"\xB0\xA1", "a", true, 1},       {"", "", true, 0},
  };
  for (const auto& c : cases) {
    const int r = compareText(c.a, c.b, c.caseSensitive);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
  EXPECT_EQ(byteCompare("\x80", "\x7F"), 1);
  EXPECT_EQ(byteCompare("a", "ab"), -1);
  EXPECT_EQ(byteCompare("", ""), 0);
}

TEST(TextConvert, ToTextForms) {
  EXPECT_EQ(toText(Bytes(std::string("AB\0C", 4))), "AB");
  EXPECT_EQ(toText(Bytes(std::string("AB"))), "AB");
  EXPECT_EQ(toText(std::int32_t{-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(toText(true), "\xD5\xE6");   // 真
  EXPECT_EQ(toText(false), "\xBC\xD9");  // 假
  EXPECT_EQ(toText("literal"), "literal");
  EXPECT_EQ(hexText(255), "FF");
  EXPECT_EQ(hexText(-1), "FFFFFFFF");
  EXPECT_EQ(hexText(0), "0");
  EXPECT_EQ(joinTexts({"a", "", "\xD6\xD0", "b"}), "a\xD6\xD0\x62");
}

TEST(TextConvert, DateTimeText) {
  // 2014年3月5日 with the time part chosen by the lowest non-zero field.
  const std::string date =
      "2014\xC4\xEA"
      "3\xD4\xC2"
      "5\xC8\xD5";
  const struct {
    CalendarFields f;
    std::string expected;
  } cases[] = {
      {{2014, 3, 5, 8, 0, 0}, date + "8\xCA\xB1"},
      {{2014, 3, 5, 0, 0, 30},
       date + "0\xCA\xB1"
              "0\xB7\xD6"
              "30\xC3\xEB"},
      {{2014, 3, 5, 0, 7, 0},
       date + "0\xCA\xB1"
              "7\xB7\xD6"},
      {{2014, 3, 5, 0, 0, 0}, date},
      {{2014, 3, 5, 23, 59, 59, 999},
       date + "23\xCA\xB1"
              "59\xB7\xD6"
              "59\xC3\xEB"},
  };
  for (const auto& c : cases) EXPECT_EQ(toText(fromCalendarFields(c.f)), c.expected);
}

TEST(TextConvert, NumbersAfterFullWidthConversion) {
  const struct {
    std::string in;
    double number;
    int integer;
  } cases[] = {
      {"\xA3\xB4\xA3\xB0", 40, 40},
      {"12abc", 12, 12},
      {"", 0, 0},
      {" \t-3.5e2x", -350, -3},
      {"\xA1\xA1\xA3\xAD\xA3\xB1\xA3\xAE\xA3\xB5", -1.5, -1},  // full-width space, minus, 1.5
      {"1e", 1, 1},
      {".5", 0.5, 0},
      {"+7", 7, 7},
      {"inf", 0, 0},
      {"0x1F", 0, 0},
      {"99999999999", 99999999999.0, INT_MAX},
      {"-99999999999", -99999999999.0, INT_MIN},
      {"\xB0\xB1\xA3\xB1", 0, 0},  // an ordinary character first: no number
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(toNumber(c.in), c.number) << c.in;
    EXPECT_EQ(toInteger(c.in), c.integer) << c.in;
  }
  EXPECT_EQ(fullWidthToAscii("\xA1\xAB\xA1\xEE\xA1\xEF\xA3\xC1"), "~**A");
  EXPECT_EQ(toInteger(-2.9), -2);
  EXPECT_EQ(toInteger(1e300), INT_MAX);
  EXPECT_EQ(toInteger(std::nan("")), 0);
}

TEST(TextListTest, OneBasedWithEmptyOutside) {
  TextList list;
  EXPECT_EQ(list.at(1), "");
  list.append("a");
  list.append("b");
  EXPECT_EQ(list.count(), 2);
  EXPECT_EQ(list.at(1), "a");
  EXPECT_EQ(list.at(2), "b");
  EXPECT_EQ(list.at(0), "");
  EXPECT_EQ(list.at(INT_MAX), "");
}

TEST(BytesTest, BlockOperations) {
  const Bytes b(std::string("\x01\x02\x03\x04\xFF", 5));
  EXPECT_EQ(bytesToInt(b, 1), 0x04030201);
  EXPECT_EQ(bytesToInt(b, 2), static_cast<std::int32_t>(0xFF040302));
  EXPECT_EQ(bytesToInt(b, 4), 0xFF04);  // missing bytes read as 0
  EXPECT_EQ(bytesToInt(b, 0), 0x030201 << 8);
  EXPECT_EQ(leftBytes(b, 2), Bytes(std::string("\x01\x02")));
  EXPECT_EQ(bytesLength(zeroBytes(3)), 3);
  EXPECT_EQ(bytesFromAddress(nullptr, 5).size(), 0u);
  EXPECT_EQ(bitOr(1), 1);
  EXPECT_EQ(bitOr(1, 2, 8), 11);

  char buffer[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  writeToAddress(std::string_view("abc"), buffer, 3);  // no room for the terminator
  EXPECT_EQ(std::string(buffer, 6), "abcxxx");
  writeToAddress(std::string_view("ab"), buffer);
  EXPECT_EQ(std::string(buffer, 6), std::string("ab\0xxx", 6));
  writeToAddress(b, buffer, 2);
  EXPECT_EQ(std::string(buffer, 3), std::string("\x01\x02\0", 3));
}

}  // namespace
}  // namespace qelvora
