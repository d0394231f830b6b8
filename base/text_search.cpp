#include "base/text_search.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelvora::detail {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline unsigned char foldByte(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b | 0x20) : b;
}

inline bool isLetter(unsigned char b) {
  return (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
}

bool equalsFolded(const unsigned char* a, const unsigned char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i] && (foldByte(a[i]) != foldByte(b[i]) || !isLetter(a[i]))) return false;
  }
  return true;
}

inline bool equalsAt(const unsigned char* at, std::string_view pattern, bool ignoreCase) {
  const auto* p = reinterpret_cast<const unsigned char*>(pattern.data());
  if (!ignoreCase) return std::memcmp(at, p, pattern.size()) == 0;
  return equalsFolded(at, p, pattern.size());
}

}  // namespace

bool BoundaryWalk::isCharStart(std::size_t c) {
  const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
  // Any byte below 0x80 ends a character (as a character of its own or as a trail byte), so the
  // nearest such byte before c gives a character start. From there to c only lead/trail pairs of
  // bytes >= 0x80 follow, and c is a start exactly when it lies an even distance away.
  std::size_t q = c;
  while (q > known_) {
    if (q - known_ >= 8) {
      std::uint64_t w;
      std::memcpy(&w, s + q - 8, 8);
      if ((w & kHighBits) == kHighBits) {
        q -= 8;
        continue;
      }
    }
    if (s[q - 1] < 0x80) break;
    --q;
  }
  known_ = q;
  if ((c - known_) % 2 == 0) {
    known_ = c;
    return true;
  }
  known_ = c + 1;  // c is the trail byte of the pair that starts at c - 1
  return false;
}

std::size_t nextMatch(std::string_view text, std::string_view pattern, std::size_t from,
                      bool ignoreCase) {
  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  if (m == 0 || m > n || from > n - m) return n;
  const std::size_t last = n - m;  // the last position where the whole pattern fits
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const auto first = static_cast<unsigned char>(pattern.front());
  const auto final = static_cast<unsigned char>(pattern.back());
  std::size_t i = from;

#if defined(__SSE2__)
  // Filter on the first and the last pattern byte, 16 positions at a time. A letter is compared
  // after OR-ing 0x20, which maps exactly its two cases onto the lower-case letter.
  const bool foldFirst = ignoreCase && isLetter(first);
  const bool foldFinal = ignoreCase && isLetter(final);
  const __m128i orFirst = _mm_set1_epi8(foldFirst ? 0x20 : 0);
  const __m128i orFinal = _mm_set1_epi8(foldFinal ? 0x20 : 0);
  const __m128i wantFirst =
      _mm_set1_epi8(static_cast<char>(foldFirst ? foldByte(first) | 0x20 : first));
  const __m128i wantFinal =
      _mm_set1_epi8(static_cast<char>(foldFinal ? foldByte(final) | 0x20 : final));
  while (i + 15 <= last) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + m - 1));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, orFirst), wantFirst),
                                      _mm_cmpeq_epi8(_mm_or_si128(b, orFinal), wantFinal));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (bits != 0) {
      const std::size_t c = i + static_cast<std::size_t>(__builtin_ctz(bits));
      if (equalsAt(s + c, pattern, ignoreCase)) return c;
      bits &= bits - 1;
    }
    i += 16;
  }
#endif

  if (!ignoreCase) {
    while (i <= last) {
      const void* hit = std::memchr(s + i, first, last - i + 1);
      if (hit == nullptr) return n;
      const std::size_t c = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - s);
      if (std::memcmp(s + c, pattern.data(), m) == 0) return c;
      i = c + 1;
    }
    return n;
  }
  for (; i <= last; ++i) {
    if (equalsAt(s + i, pattern, true)) return i;
  }
  return n;
}

}  // namespace qelvora::detail
