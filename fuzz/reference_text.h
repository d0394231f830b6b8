// Slow, plain versions of the GBK text operations, written straight from what each operation must
// do: a character walk and byte comparisons, nothing else. The harnesses check the fast versions
// (and everything built on them) against these.
#pragma once

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace qelvora::ref {

inline unsigned char byteAt(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// A byte of 0x80 or more with a byte after it starts a two-byte character.
inline std::size_t charLength(std::string_view s, std::size_t i) {
  return byteAt(s, i) >= 0x80 && i + 1 < s.size() ? 2 : 1;
}

// The characters of s, walked from its first byte.
inline std::vector<std::string_view> characters(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < s.size(); i += charLength(s, i))
    out.push_back(s.substr(i, charLength(s, i)));
  return out;
}

inline bool isLetter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline unsigned char lowerLetter(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

inline bool matchesAt(std::string_view s, std::size_t i, std::string_view pattern, bool fold) {
  if (s.size() - i < pattern.size()) return false;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    unsigned char a = byteAt(s, i + k), b = byteAt(pattern, k);
    if (a == b) continue;
    if (fold && isLetter(a) && isLetter(b) && lowerLetter(a) == lowerLetter(b)) continue;
    return false;
  }
  return true;
}

inline std::size_t skipOf(int start) {
  return start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
}

inline int find(std::string_view text, std::string_view pattern, int start, bool ignoreCase) {
  std::size_t i = skipOf(start);
  if (i >= text.size()) return -1;
  if (pattern.empty()) return 1;
  for (; text.size() - i >= pattern.size(); i += charLength(text, i)) {
    if (matchesAt(text, i, pattern, ignoreCase)) return static_cast<int>(i + 1);
  }
  return -1;
}

inline std::string replace(std::string_view text, std::string_view pattern,
                           std::string_view replacement, int start, std::optional<int> limit,
                           bool caseSensitive) {
  std::size_t i = skipOf(start);
  if (text.empty() || pattern.empty() || i >= text.size() || (limit && *limit == 0))
    return std::string(text);
  std::string out(text.substr(0, i));
  int done = 0;
  while (text.size() - i >= pattern.size()) {
    if (matchesAt(text, i, pattern, !caseSensitive)) {
      out += replacement;
      i += pattern.size();
      if (limit && ++done == *limit) break;
    } else {
      out += text.substr(i, charLength(text, i));
      i += charLength(text, i);
    }
  }
  out += text.substr(i);
  return out;
}

inline bool isSpace(std::string_view ch) {
  return ch == " " || ch == "\xA1\xA1";
}
// The walk ends in a lead byte that has nothing after it.
inline bool endsInLoneLead(const std::vector<std::string_view>& chars) {
  return !chars.empty() && chars.back().size() == 1 && byteAt(chars.back(), 0) >= 0x80;
}
inline std::string join(const std::vector<std::string_view>& chars, std::size_t from,
                        std::size_t to) {
  std::string out;
  for (std::size_t k = from; k < to; ++k) out += chars[k];
  return out;
}

inline std::string trimSpaces(std::string_view text) {
  auto chars = characters(text);
  const bool lone = endsInLoneLead(chars);
  if (lone) chars.pop_back();
  std::size_t from = 0, to = chars.size();
  while (from < to && isSpace(chars[from])) ++from;
  // Spaces in front of a dropped lone lead byte stay.
  if (!lone)
    while (to > from && isSpace(chars[to - 1])) --to;
  return join(chars, from, to);
}

inline std::string removeSpaces(std::string_view text) {
  auto chars = characters(text);
  if (endsInLoneLead(chars)) chars.pop_back();
  std::string out;
  for (auto ch : chars)
    if (!isSpace(ch)) out += ch;
  return out;
}

inline std::string changeCase(std::string_view text, bool upper) {
  std::string out;
  for (auto ch : characters(text)) {
    unsigned char c = byteAt(ch, 0);
    if (ch.size() == 1 && upper && c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    if (ch.size() == 1 && !upper && c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    out += ch.size() == 1 ? std::string(1, static_cast<char>(c)) : std::string(ch);
  }
  return out;
}

inline int sign(long long v) {
  return v < 0 ? -1 : v > 0 ? 1 : 0;
}

inline int compare(std::string_view a, std::string_view b, bool caseSensitive) {
  auto x = characters(a), y = characters(b);
  for (std::size_t k = 0; k < x.size() && k < y.size(); ++k) {
    std::string p(x[k]), q(y[k]);
    if (!caseSensitive && p.size() == 1 && q.size() == 1) {
      p[0] = static_cast<char>(lowerLetter(byteAt(p, 0)));
      q[0] = static_cast<char>(lowerLetter(byteAt(q, 0)));
    }
    if (int c = p.compare(q); c != 0) return sign(c);
  }
  return sign(static_cast<long long>(x.size()) - static_cast<long long>(y.size()));
}

inline std::string fullWidthToAscii(std::string_view text) {
  std::string out;
  for (auto ch : characters(text)) {
    if (ch.size() == 2) {
      unsigned char lead = byteAt(ch, 0), trail = byteAt(ch, 1);
      if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
        out += static_cast<char>(trail - 0x80);
        continue;
      }
      if (ch == "\xA1\xA1") {
        out += ' ';
        continue;
      }
      if (ch == "\xA1\xAB") {
        out += '~';
        continue;
      }
      if (ch == "\xA1\xEE" || ch == "\xA1\xEF") {
        out += '*';
        continue;
      }
    }
    out += ch;
  }
  return out;
}

inline std::size_t skipWhite(std::string_view t) {
  std::size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
  return i;
}

// nullopt when the number is beyond the range of a double (the two readers may differ there).
inline std::optional<double> number(std::string_view text) {
  const std::string t = fullWidthToAscii(text);
  std::string_view rest(t);
  rest.remove_prefix(skipWhite(rest));
  bool negative = false;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (rest.empty() || !(digit(rest[0]) || (rest[0] == '.' && rest.size() > 1 && digit(rest[1]))))
    return 0.0;
  double v = 0;
  auto r = std::from_chars(rest.data(), rest.data() + rest.size(), v, std::chars_format::general);
  if (r.ec != std::errc()) return std::nullopt;
  return negative ? -v : v;
}

inline int integer(std::string_view text) {
  const std::string t = fullWidthToAscii(text);
  std::size_t i = skipWhite(t);
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  std::string digits;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i)
    if (!(digits.empty() && t[i] == '0')) digits += t[i];
  if (digits.size() > 12) digits = "999999999999";  // far beyond the int range either way
  long long v = digits.empty() ? 0 : std::stoll(digits);
  if (negative) v = -v;
  return static_cast<int>(
      std::clamp<long long>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

inline std::string left(std::string_view t, int n) {
  return n <= 0 ? std::string() : std::string(t.substr(0, static_cast<std::size_t>(n)));
}
inline std::string right(std::string_view t, int n) {
  if (n <= 0) return {};
  std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), t.size());
  return std::string(t.substr(t.size() - k));
}
inline std::string mid(std::string_view t, int start, int n) {
  if (start < 1 || n <= 0 || static_cast<long long>(start) > static_cast<long long>(t.size()))
    return {};
  return std::string(t.substr(static_cast<std::size_t>(start) - 1, static_cast<std::size_t>(n)));
}

inline std::string replaceRange(std::string_view t, int start, int count, std::string_view r) {
  const std::size_t p = std::min(skipOf(start), t.size());
  const std::size_t removed =
      count <= 0 ? 0 : std::min(static_cast<std::size_t>(count), t.size() - p);
  return std::string(t.substr(0, p)) + std::string(r) + std::string(t.substr(p + removed));
}
inline int codeAt(std::string_view t, int pos) {
  if (pos < 1 || static_cast<std::size_t>(pos) > t.size()) return 0;
  return static_cast<signed char>(t[static_cast<std::size_t>(pos) - 1]);
}

// The text strictly between the first startMarker and the first endMarker after it (ASCII case
// ignored, "#引号" in a marker standing for a double quote).
inline std::string cutBetween(std::string_view text, std::string_view startMarker,
                              std::string_view endMarker) {
  const std::string_view quote = "#\xD2\xFD\xBA\xC5";  // "#引号" in GBK
  std::string s = replace(startMarker, quote, "\"", 1, std::nullopt, true);
  std::string e = replace(endMarker, quote, "\"", 1, std::nullopt, true);
  int at = find(text, s, 1, true);
  if (at == -1) return {};
  std::string rest(text.substr(std::min(text.size(), static_cast<std::size_t>(at) - 1 + s.size())));
  int end = find(rest, e, 1, true);
  if (end == -1) return {};
  return rest.substr(0, static_cast<std::size_t>(end) - 1);
}

}  // namespace qelvora::ref
