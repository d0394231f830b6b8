#include "base/program_state.h"

#include <algorithm>

namespace qelvora {

namespace {

// The typing effect's own lead-byte test: 127 and above, not the 0x81 of GBK proper.
std::size_t pieceWidth(unsigned char first) {
  return first >= 127 ? 2 : 1;
}

}  // namespace

void TypingPieces::cut(Text transcript) {
  text_ = std::move(transcript);
  std::size_t at = 0;
  int pieces = 0;
  while (at < text_.size() && text_[at] != '\0') {
    at += pieceWidth(static_cast<unsigned char>(text_[at]));
    ++pieces;
  }
  end_ = std::min(at, text_.size());
  count_ = pieces + 1;
}

std::string_view TypingPieces::pieceAt(std::size_t at) const {
  if (at >= end_) return {};
  return std::string_view(text_).substr(at, pieceWidth(static_cast<unsigned char>(text_[at])));
}

}  // namespace qelvora
