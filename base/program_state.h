// The program-wide shared state: created empty at start-up, lives until exit. It has one writer at
// a time: the ask button stays disabled from the question until its answer has been typed.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/text.h"

namespace qelvora {

// The transcript being typed, cut into pieces of one character each: one byte, or two when the
// first byte is 127 or above (clipped at the end of the text), and a closing empty piece for the
// terminator (the end of the text, or a NUL byte where a piece would start), which is never
// typed. The pieces are positions in one copy of the transcript, so a long answer costs its own
// length and nothing per character.
class TypingPieces {
 public:
  // Replaces the pieces by those of transcript.
  void cut(Text transcript);
  void clear() { cut(Text()); }
  // Pieces, the closing empty one included: a transcript of n characters gives n + 1.
  int count() const { return count_; }
  // Bytes of all pieces together: what typing them appends.
  std::size_t typedBytes() const { return end_; }
  // The piece that starts at byte offset at (0-based; the next piece starts where it ends); the
  // empty piece at and after the terminator.
  std::string_view pieceAt(std::size_t at) const;

 private:
  Text text_;
  std::size_t end_ = 0;  // offset of the terminator
  int count_ = 1;
};

struct ProgramState {
  TypingPieces typingPieces;     // the pieces of the text being typed
  int typingIndex = 1;           // 1-based index of the next piece to type
  std::size_t typingOffset = 0;  // where that piece starts in the transcript
  Text shownQuestion;            // the text after "问：" in the transcript
  Text answerText;               // the text after "答：" in the transcript
  Text pageText;                 // the page last fetched by an answer source (GBK)
  Text answerLink;               // the key or address of the answer page
  Text downloadAddress;          // the download address of the last software answer
};

}  // namespace qelvora
