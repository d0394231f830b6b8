// The program-wide shared state: created empty at start-up, lives until exit. It has one writer at
// a time: the ask button stays disabled from the question until its answer has been typed.
#pragma once

#include "base/text.h"

namespace qelvora {

struct ProgramState {
  TextList typingPieces;  // the pieces still to type, ending with one empty piece
  int typingIndex = 1;    // 1-based index of the next piece to type
  Text shownQuestion;     // the text after "问：" in the transcript
  Text answerText;        // the text after "答：" in the transcript
  Text pageText;          // the page last fetched by an answer source (GBK)
  Text answerLink;        // the key or address of the answer page
  Text downloadAddress;   // the download address of the last software answer
};

}  // namespace qelvora
