// Byte-level GBK text operations.
//
// A Text is a std::string of GBK bytes. Positions are 1-based byte positions, lengths are byte
// counts, and a failed search gives -1. The empty text and a missing text are the same value.
// No operation validates GBK: a lone lead byte is simply a byte.
//
// Character step: where an operation walks a text by characters, a byte of 0x80 or more that has a
// byte after it forms a two-byte character with that byte; every other byte is one character.
// Only those walks are GBK-aware; textLength/leftText/rightText/midText cut by bytes.
//
// Space: the byte 0x20 or the two-byte full-width space A1 A1. Tab, CR and LF are never spaces.
//
// No operation fails on bad arguments: positions and counts are clamped, results may be empty.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/datetime.h"

namespace qelvora {

using Text = std::string;

int textLength(std::string_view text);
// The first min(n, length) bytes; empty if n <= 0.
Text leftText(std::string_view text, int n);
// The last min(n, length) bytes; empty if n <= 0.
Text rightText(std::string_view text, int n);
// Up to n bytes from position start; empty if start < 1, start > length or n <= 0.
Text midText(std::string_view text, int start, int n);
// The one-byte text of the low 8 bits of code; code 0 (low byte 0) gives the empty text.
Text charFromCode(int code);
// The byte at pos as a signed value (-128..127); 0 past the end or before position 1.
int codeAt(std::string_view text, int pos = 1);

// 1-based position of the first occurrence of pattern at or after start, or -1. The search walks by
// characters from the skip point, so a match never starts on a trail byte. With ignoreCase, ASCII
// letters are folded (also a trail byte that is an ASCII letter).
int findText(std::string_view text, std::string_view pattern, int start = 1,
             bool ignoreCase = false);

Text toUpper(std::string_view text);  // ASCII a-z only; two-byte characters untouched
Text toLower(std::string_view text);  // ASCII A-Z only; two-byte characters untouched
Text trimSpaces(std::string_view text);
Text removeSpaces(std::string_view text);

// count bytes removed at start (p = start-1 clamped to 0..length), replacement inserted there.
Text replaceRange(std::string_view text, int start, int count,
                  std::optional<std::string_view> replacement = std::nullopt);

// Occurrences of pattern replaced from start on, left to right, non-overlapping, matches only at
// character starts; a replacement never takes part in a later match. limit: nullopt = all.
Text replaceText(std::string_view text, std::string_view pattern, std::string_view replacement = {},
                 int start = 1, std::optional<int> limit = std::nullopt, bool caseSensitive = true);

Text spaces(int n);
// Negative, 0 or positive, comparing by GBK characters; caseSensitive false folds ASCII letters.
int compareText(std::string_view a, std::string_view b, bool caseSensitive = true);
// -1, 0 or 1 comparing unsigned bytes.
int byteCompare(std::string_view a, std::string_view b);
Text joinTexts(std::initializer_list<std::string_view> pieces);

// Conversions to text.
Text toText(std::string_view text);
Text toText(const Bytes& bytes);  // bytes up to the first NUL
Text toText(std::int32_t value);  // decimal
Text toText(bool value);          // "真" / "假" (GBK)
Text toText(DateTime value);      // "%d年%d月%d日" + time part rule (GBK)
// Prevent a string literal from choosing the bool overload.
inline Text toText(const char* text) {
  return toText(std::string_view(text ? text : ""));
}
inline Text toText(const Text& text) {
  return text;
}

// Upper-case hexadecimal of the 32-bit value, no prefix, no leading zeros; negative values give
// their 8-digit two's complement.
Text hexText(std::int32_t value);

// Full-width forms turned into one-byte forms (A3A1..A3FE, A1A1, A1AB, A1EE, A1EF); the rest kept.
Text fullWidthToAscii(std::string_view text);
// Longest leading decimal number after the full-width conversion; 0 when there is none.
double toNumber(std::string_view text);
// Leading decimal integer after the full-width conversion; 0 when there is none. Out-of-range
// values saturate at the int range.
int toInteger(std::string_view text);
// A double truncated toward zero (saturating at the int range; NaN gives 0).
int toInteger(double value);

// A 1-based, growable list of texts.
class TextList {
 public:
  int count() const { return static_cast<int>(items_.size()); }
  // Element i (1-based); the empty text outside 1..count().
  const Text& at(int i) const;
  void append(Text text) { items_.push_back(std::move(text)); }
  void clear() { items_.clear(); }

 private:
  std::vector<Text> items_;
};

}  // namespace qelvora
