#include "answer/typing.h"

#include <string>

#include "base/text.h"
#include "web/encoding.h"

namespace qelvora {

namespace {

// The speed box's initial value; also what an unusable speed falls back to, so that a typo in
// the box cannot leave the window busy for ever.
constexpr int kDefaultTypingPeriodMs = 40;

const Text& programTitle() {
  static const Text title = "Qelvora";
  return title;
}

const Text& progressLabel() {
  static const Text label = utf8ToGbk("      进度：");
  return label;
}

int typingPeriod(ControlAccess& controls) {
  const int ms = toInteger(toNumber(controls.content(ctl::kSpeedBox)));
  return ms > 0 ? ms : kDefaultTypingPeriodMs;
}

void finishTyping(AnswerSession& session) {
  ControlAccess& c = session.controls;
  if (session.stopSound) session.stopSound();
  c.setPeriod(ctl::kTypingTimer, 0);
  c.setPeriod(ctl::kProgressTimer, 0);
  c.setTitle(programTitle());
  if (!c.content(ctl::kPictureAddressBox).empty()) c.openPictureWindow();
  c.setDisabled(ctl::kAskButton, false);
  c.setFocus(ctl::kQuestionBox);
}

}  // namespace

void startTyping(AnswerSession& session) {
  // Whole on the window thread: a tick can then never see a half-built list or an index left
  // over from the previous text, whichever thread asked for the typing.
  session.controls.runOnWindowThread([&session] {
    ControlAccess& c = session.controls;
    ProgramState& s = session.state;
    c.setContent(ctl::kAnswerBox, Text());
    c.setPeriod(ctl::kTypingTimer, typingPeriod(c));
    if (session.startSound) session.startSound();
    s.typingPieces.cut(c.content(ctl::kTranscriptBox));
    s.typingIndex = 1;
    s.typingOffset = 0;
    // Both boxes receive the whole transcript one piece at a time.
    const std::size_t coming = s.typingPieces.typedBytes();
    c.reserveContent(ctl::kAnswerBox, coming);
    c.reserveContent(ctl::kCopyBox, coming);
  });
}

void typingTick(AnswerSession& session) {
  ControlAccess& c = session.controls;
  ProgramState& s = session.state;
  c.setFocus(ctl::kAnswerBox);
  // A space never takes a tick of its own: it goes out with the character after it.
  Text piece;
  do {
    piece = s.typingPieces.pieceAt(s.typingOffset);
    c.appendText(ctl::kAnswerBox, piece);
    c.appendText(ctl::kCopyBox, piece);
    s.typingOffset += piece.size();
    ++s.typingIndex;
  } while (piece == " ");
  if (s.typingIndex < s.typingPieces.count()) return;
  finishTyping(session);
}

void progressTick(AnswerSession& session) {
  ControlAccess& c = session.controls;
  // Kept up to date by the controls as text is written and typed: a tick costs the same whatever
  // the length of the answer.
  const int total = c.characterCount(ctl::kTranscriptBox);
  const int shown = c.characterCount(ctl::kAnswerBox);
  c.setTitle(programTitle() + progressLabel() + toText(shown) + "/" + toText(total));
}

}  // namespace qelvora
