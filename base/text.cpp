#include "base/text.h"

#include <locale.h>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "base/text_search.h"

namespace qelvora {

namespace {

inline unsigned char byteAt(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

// Length of the character that starts at i under the character step.
inline std::size_t charLength(std::string_view text, std::size_t i) {
  return (byteAt(text, i) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
}

// Length of the space at i (0x20 or A1 A1), or 0.
inline std::size_t spaceLength(std::string_view text, std::size_t i) {
  if (byteAt(text, i) == 0x20) return 1;
  if (byteAt(text, i) == 0xA1 && i + 1 < text.size() && byteAt(text, i + 1) == 0xA1) return 2;
  return 0;
}

// Clamps a 1-based position to a 0-based offset in 0..length.
inline std::size_t offsetOf(int start, std::size_t length) {
  if (start <= 1) return 0;
  const auto p = static_cast<std::size_t>(start) - 1;
  return p < length ? p : length;
}

inline bool isWhite(unsigned char b) {
  return b == ' ' || (b >= '\t' && b <= '\r');
}

inline unsigned char lowerAscii(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b | 0x20) : b;
}

locale_t cLocale() {
  // Number reading must not follow the user's locale (a comma decimal point would cut "1.5").
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

int textLength(std::string_view text) {
  return static_cast<int>(text.size());
}

Text leftText(std::string_view text, int n) {
  if (n <= 0) return {};
  return Text(text.substr(0, static_cast<std::size_t>(n)));
}

Text rightText(std::string_view text, int n) {
  if (n <= 0) return {};
  const auto k = static_cast<std::size_t>(n);
  return k >= text.size() ? Text(text) : Text(text.substr(text.size() - k));
}

Text midText(std::string_view text, int start, int n) {
  if (start < 1 || n <= 0 || static_cast<std::size_t>(start) > text.size()) return {};
  return Text(text.substr(static_cast<std::size_t>(start) - 1, static_cast<std::size_t>(n)));
}

Text charFromCode(int code) {
  const auto b = static_cast<char>(code & 0xFF);
  return b == 0 ? Text() : Text(1, b);
}

int codeAt(std::string_view text, int pos) {
  if (pos < 1 || static_cast<std::size_t>(pos) > text.size()) return 0;
  return static_cast<signed char>(text[static_cast<std::size_t>(pos) - 1]);
}

int findText(std::string_view text, std::string_view pattern, int start, bool ignoreCase) {
  const std::size_t n = text.size();
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  if (from >= n) return -1;
  if (pattern.empty()) return 1;
  detail::BoundaryWalk walk(text, from);
  for (std::size_t pos = from;;) {
    const std::size_t c = detail::nextMatch(text, pattern, pos, ignoreCase);
    if (c >= n) return -1;
    if (walk.isCharStart(c)) return static_cast<int>(c + 1);
    pos = c + 1;
  }
}

Text toUpper(std::string_view text) {
  Text out(text);
  for (std::size_t i = 0; i < out.size(); i += charLength(out, i)) {
    const auto b = static_cast<unsigned char>(out[i]);
    if (b >= 'a' && b <= 'z') out[i] = static_cast<char>(b - 0x20);
  }
  return out;
}

Text toLower(std::string_view text) {
  Text out(text);
  for (std::size_t i = 0; i < out.size(); i += charLength(out, i)) {
    const auto b = static_cast<unsigned char>(out[i]);
    if (b >= 'A' && b <= 'Z') out[i] = static_cast<char>(b + 0x20);
  }
  return out;
}

Text trimSpaces(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t s = spaceLength(text, i);
    if (s == 0) break;
    i += s;
  }
  const std::size_t begin = i;
  std::size_t end = text.size();
  std::size_t runStart = std::string_view::npos;  // where the current run of spaces began
  while (i < text.size()) {
    const std::size_t s = spaceLength(text, i);
    if (s != 0) {
      if (runStart == std::string_view::npos) runStart = i;
      i += s;
      continue;
    }
    const std::size_t len = charLength(text, i);
    if (byteAt(text, i) >= 0x80 && len == 1) {
      // A lead byte with nothing after it is not a character: drop it, keep what came before.
      end = i;
      runStart = std::string_view::npos;
      break;
    }
    runStart = std::string_view::npos;
    i += len;
  }
  if (runStart != std::string_view::npos) end = runStart;
  return Text(text.substr(begin, end - begin));
}

Text removeSpaces(std::string_view text) {
  Text out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t s = spaceLength(text, i);
    if (s != 0) {
      i += s;
      continue;
    }
    const std::size_t len = charLength(text, i);
    if (byteAt(text, i) >= 0x80 && len == 1) break;  // lone lead byte at the end
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

Text replaceRange(std::string_view text, int start, int count,
                  std::optional<std::string_view> replacement) {
  const std::size_t p = offsetOf(start, text.size());
  std::size_t removed = 0;
  if (count > 0) removed = std::min(static_cast<std::size_t>(count), text.size() - p);
  Text out;
  out.reserve(text.size() - removed + (replacement ? replacement->size() : 0));
  out.append(text.substr(0, p));
  if (replacement) out.append(*replacement);
  out.append(text.substr(p + removed));
  return out;
}

Text replaceText(std::string_view text, std::string_view pattern, std::string_view replacement,
                 int start, std::optional<int> limit, bool caseSensitive) {
  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  if (n == 0 || m == 0 || from >= n || (limit && *limit == 0)) return Text(text);

  Text out;
  std::size_t reserve = n;
  if (replacement.size() > m) reserve += n / 8;
  out.reserve(reserve);
  out.append(text.substr(0, from));

  detail::BoundaryWalk walk(text, from);
  std::size_t copied = from;  // everything before this offset is in out
  std::size_t pos = from;
  long long count = 0;
  for (;;) {
    const std::size_t c = detail::nextMatch(text, pattern, pos, !caseSensitive);
    if (c >= n) break;
    if (!walk.isCharStart(c)) {
      pos = c + 1;
      continue;
    }
    out.append(text.substr(copied, c - copied));
    out.append(replacement);
    copied = pos = c + m;
    walk.restartAt(pos);  // the walk goes on behind the skipped match
    // A negative limit is never reached, so it replaces every occurrence like no limit at all.
    if (limit && ++count == *limit) break;
  }
  out.append(text.substr(copied));
  return out;
}

Text spaces(int n) {
  return n < 1 ? Text() : Text(static_cast<std::size_t>(n), ' ');
}

int compareText(std::string_view a, std::string_view b, bool caseSensitive) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const std::size_t la = charLength(a, i), lb = charLength(b, j);
    for (std::size_t k = 0; k < std::max(la, lb); ++k) {
      // A shorter character compares as if followed by nothing, so it orders first.
      if (k >= la) return -1;
      if (k >= lb) return 1;
      unsigned char x = byteAt(a, i + k), y = byteAt(b, j + k);
      if (!caseSensitive && la == 1 && lb == 1) {
        x = lowerAscii(x);
        y = lowerAscii(y);
      }
      if (x != y) return x < y ? -1 : 1;
    }
    i += la;
    j += lb;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int byteCompare(std::string_view a, std::string_view b) {
  const int r = a.compare(b);  // char_traits<char>::compare uses unsigned bytes (memcmp)
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

Text joinTexts(std::initializer_list<std::string_view> pieces) {
  std::size_t total = 0;
  for (auto p : pieces) total += p.size();
  Text out;
  out.reserve(total);
  for (auto p : pieces) out.append(p);
  return out;
}

Text toText(std::string_view text) {
  return Text(text);
}

Text toText(const Bytes& bytes) {
  const auto v = bytes.view();
  return Text(v.substr(0, v.find('\0')));
}

Text toText(std::int32_t value) {
  return std::to_string(value);
}

Text toText(bool value) {
  return value ? Text("\xD5\xE6")   // 真
               : Text("\xBC\xD9");  // 假
}

Text toText(DateTime value) {
  const CalendarFields f = toCalendarFields(value);
  char buffer[96];
  // 年 月 日, then 时 分 秒
  int len = std::snprintf(buffer, sizeof buffer, "%d\xC4\xEA%d\xD4\xC2%d\xC8\xD5", f.year, f.month,
                          f.day);
  const std::size_t room = sizeof buffer - static_cast<std::size_t>(len);
  if (f.second != 0) {
    len += std::snprintf(buffer + len, room, "%d\xCA\xB1%d\xB7\xD6%d\xC3\xEB", f.hour, f.minute,
                         f.second);
  } else if (f.minute != 0) {
    len += std::snprintf(buffer + len, room, "%d\xCA\xB1%d\xB7\xD6", f.hour, f.minute);
  } else if (f.hour != 0) {
    len += std::snprintf(buffer + len, room, "%d\xCA\xB1", f.hour);
  }
  return Text(buffer, static_cast<std::size_t>(len));
}

Text hexText(std::int32_t value) {
  char buffer[16];
  const int len = std::snprintf(buffer, sizeof buffer, "%X", static_cast<std::uint32_t>(value));
  return Text(buffer, static_cast<std::size_t>(len));
}

Text fullWidthToAscii(std::string_view text) {
  Text out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = charLength(text, i);
    if (len == 2) {
      const unsigned char lead = byteAt(text, i), trail = byteAt(text, i + 1);
      char one = 0;
      if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
        one = static_cast<char>(trail & 0x7F);
      } else if (lead == 0xA1) {
        if (trail == 0xA1) one = ' ';
        if (trail == 0xAB) one = '~';
        if (trail == 0xEE || trail == 0xEF) one = '*';
      }
      if (one != 0) {
        out.push_back(one);
        i += 2;
        continue;
      }
    }
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

double toNumber(std::string_view text) {
  const Text t = fullWidthToAscii(text);
  std::size_t i = 0;
  while (i < t.size() && isWhite(static_cast<unsigned char>(t[i]))) ++i;
  const std::size_t begin = i;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
    if (k < t.size() && t[k] >= '0' && t[k] <= '9') {
      while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
      i = k;
    }
  }
  // Only the scanned number is handed over, so strtod cannot read "inf", "nan" or hex forms.
  const std::string number = t.substr(begin, i - begin);
  return strtod_l(number.c_str(), nullptr, cLocale());
}

int toInteger(std::string_view text) {
  const Text t = fullWidthToAscii(text);
  std::size_t i = 0;
  while (i < t.size() && isWhite(static_cast<unsigned char>(t[i]))) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  long long value = 0;
  const long long cap = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    value = value * 10 + (t[i] - '0');
    if (value > cap) value = cap;  // saturate; keeps the arithmetic in range
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

int toInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  if (value <= static_cast<double>(std::numeric_limits<int>::min()))
    return std::numeric_limits<int>::min();
  return static_cast<int>(value);  // truncates toward zero
}

const Text& TextList::at(int i) const {
  static const Text empty;
  if (i < 1 || i > count()) return empty;
  return items_[static_cast<std::size_t>(i) - 1];
}

}  // namespace qelvora
