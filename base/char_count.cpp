#include "base/char_count.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelvora {

namespace {

inline bool isLead(unsigned b) {
  return b >= 0x81 && b <= 0xFE;
}
inline bool isTrail(unsigned b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// Bit j of each mask describes byte j of a 64-byte block.
struct BlockMasks {
  std::uint64_t lead = 0;       // 0x81-0xFE
  std::uint64_t loneTrail = 0;  // 0x40-0x7E and 0x80: trail bytes that cannot lead
};

BlockMasks classify(const unsigned char* block) {
  BlockMasks m;
#if defined(__SSE2__)
  const __m128i minLead = _mm_set1_epi8(static_cast<char>(0x80));  // signed: -128
  const __m128i maxLead = _mm_set1_epi8(static_cast<char>(0xFF));  // signed: -1
  const __m128i below40 = _mm_set1_epi8(0x3F);
  const __m128i is7F = _mm_set1_epi8(0x7F);
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
    const __m128i lead = _mm_and_si128(_mm_cmpgt_epi8(v, minLead), _mm_cmplt_epi8(v, maxLead));
    const __m128i low = _mm_and_si128(_mm_cmpgt_epi8(v, below40), _mm_cmplt_epi8(v, is7F));
    const __m128i trail = _mm_or_si128(low, _mm_cmpeq_epi8(v, minLead));
    m.lead |= std::uint64_t(std::uint16_t(_mm_movemask_epi8(lead))) << (16 * k);
    m.loneTrail |= std::uint64_t(std::uint16_t(_mm_movemask_epi8(trail))) << (16 * k);
  }
#else
  for (int j = 0; j < 64; ++j) {
    const unsigned b = block[j];
    if (b >= 0x81 && b <= 0xFE) m.lead |= std::uint64_t(1) << j;
    if ((b >= 0x40 && b <= 0x7E) || b == 0x80) m.loneTrail |= std::uint64_t(1) << j;
  }
#endif
  return m;
}

constexpr std::uint64_t kEvenBits = 0x5555555555555555ULL;

// The bit just after each odd-length run of lead bytes that ends in this block. A run carried in
// from the previous block counts as starting at bit 0 with the parity it had so far: an odd part
// so far makes it start "at an odd place". Adding a run's start bit to the mask carries through
// the run and lands on the bit after it; that bit's parity against the start's tells the length.
std::uint64_t oddRunEnds(std::uint64_t lead, std::uint64_t carriedOdd) {
  const std::uint64_t starts = lead & ~(lead << 1);
  const std::uint64_t evenPlaces = kEvenBits ^ carriedOdd;  // flips how bit 0 counts
  const std::uint64_t afterEven = (lead + (starts & evenPlaces)) & ~lead;
  const std::uint64_t afterOdd = (lead + (starts & ~evenPlaces)) & ~lead;
  std::uint64_t ends = (afterEven & ~kEvenBits) | (afterOdd & kEvenBits);
  // A carried odd run that ended exactly at the block boundary ends at bit 0 here.
  if (carriedOdd && !(lead & 1)) ends |= 1;
  return ends;
}

// Whether the run of lead bytes touching the end of the block has odd length so far.
std::uint64_t trailingRunOdd(std::uint64_t lead, std::uint64_t carriedOdd) {
  if (!(lead >> 63)) return 0;
  if (lead == ~std::uint64_t(0)) return carriedOdd;  // 64 more: parity unchanged
  return std::uint64_t(std::countl_one(lead) & 1);
}

}  // namespace

// The progress title counts the whole transcript every 10 ms, so the count works on 64 bytes at
// a time. Read left to right, a run of lead bytes always begins on a character boundary (the byte
// before it can only end a character), pairs up from its start, and when its length is odd its
// last byte takes the byte after the run as trail if that byte is one (0x40-0x7E or 0x80). So
//   characters = bytes - pairs,
//   pairs = (lead bytes - odd runs) / 2 + odd runs followed by such a trail byte.
int charCount(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint64_t leads = 0;
  std::uint64_t oddRuns = 0;
  std::uint64_t oddRunTrails = 0;
  std::uint64_t carriedOdd = 0;  // 1 when the run reaching the end of the last block is odd so far
  unsigned char tail[64];
  for (std::size_t at = 0; at < n; at += 64) {
    const unsigned char* block = p + at;
    if (n - at < 64) {
      // Zero padding is neither lead nor trail, so a run ending at the text's end gets no trail.
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, block, n - at);
      block = tail;
    }
    const BlockMasks m = classify(block);
    const std::uint64_t oddEnds = oddRunEnds(m.lead, carriedOdd);
    leads += std::uint64_t(std::popcount(m.lead));
    oddRuns += std::uint64_t(std::popcount(oddEnds));
    oddRunTrails += std::uint64_t(std::popcount(oddEnds & m.loneTrail));
    carriedOdd = trailingRunOdd(m.lead, carriedOdd);
  }
  oddRuns += carriedOdd;  // a run that ends exactly at the end of the last block
  const std::uint64_t pairs = (leads - oddRuns) / 2 + oddRunTrails;
  return static_cast<int>(n - pairs);
}

void CharTally::reset(std::string_view text) {
  count_ = charCount(text);
  // A run of lead bytes begins on a character boundary and pairs up from its start, so the text
  // ends with an open lead exactly when the run of lead bytes at its end has odd length.
  std::size_t run = 0;
  while (run < text.size() && isLead(static_cast<unsigned char>(text[text.size() - 1 - run])))
    ++run;
  openLead_ = run % 2 == 1;
}

void CharTally::append(std::string_view more) {
  for (const char c : more) {
    const unsigned b = static_cast<unsigned char>(c);
    if (openLead_ && isTrail(b)) {
      openLead_ = false;
      continue;
    }
    ++count_;
    openLead_ = isLead(b);
  }
}

}  // namespace qelvora
