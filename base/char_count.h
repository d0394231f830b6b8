// Characters of a GBK text as code page 936 decodes it (one per UTF-16 unit), counted without
// decoding: for the progress title, which shows how much of an answer has been typed.
#pragma once

#include <cstdint>
#include <string_view>

namespace qelvora {

// Bytes below 0x80, 0x80 (the euro sign) and 0xFF are one character each; a lead byte 0x81-0xFE
// followed by a trail byte (0x40-0x7E, 0x80-0xFE) is one character; a lead byte before any other
// byte, or at the end, stands alone as one character and the byte after it counts on its own.
int charCount(std::string_view text);

// The same count, kept up to date while text grows at its end: appending costs the appended
// bytes only, whatever the length so far. Equal at every step to charCount of the whole text.
class CharTally {
 public:
  CharTally() = default;
  explicit CharTally(std::string_view text) { reset(text); }

  void reset(std::string_view text);
  void append(std::string_view more);
  int count() const { return static_cast<int>(count_); }

 private:
  std::int64_t count_ = 0;
  // The text ends with a lead byte that has not found its trail yet; it is counted already, and
  // a trail byte appended next joins it without counting again.
  bool openLead_ = false;
};

}  // namespace qelvora
