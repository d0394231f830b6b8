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

// One piece per character, using the typing effect's own lead-byte test (byte value 127 and
// above), and a closing empty piece that stands for the terminator.
void cutIntoPieces(std::string_view transcript, TextList& pieces) {
  std::size_t at = 0;  // 0-based position of the next piece
  for (;;) {
    const unsigned b = at < transcript.size() ? static_cast<unsigned char>(transcript[at]) : 0;
    const std::size_t width = b >= 127 ? 2 : 1;
    pieces.append(b == 0 ? Text() : Text(transcript.substr(at, width)));
    at += width;
    if (b == 0) break;
  }
}

void finishTyping(Presentation& p) {
  ControlAccess& c = p.controls;
  if (p.stopSound) p.stopSound();
  c.setPeriod(ctl::kTypingTimer, 0);
  c.setPeriod(ctl::kProgressTimer, 0);
  c.setTitle(programTitle());
  if (!c.content(ctl::kPictureAddressBox).empty()) c.openPictureWindow();
  c.setDisabled(ctl::kAskButton, false);
  c.setFocus(ctl::kQuestionBox);
}

}  // namespace

void startTyping(Presentation& p) {
  // Whole on the window thread: a tick can then never see a half-built list or an index left
  // over from the previous text, whichever thread asked for the typing.
  p.controls.runOnWindowThread([&p] {
    ControlAccess& c = p.controls;
    c.setContent(ctl::kAnswerBox, Text());
    c.setPeriod(ctl::kTypingTimer, typingPeriod(c));
    if (p.startSound) p.startSound();
    p.state.typingPieces.clear();
    cutIntoPieces(c.content(ctl::kTranscriptBox), p.state.typingPieces);
    p.state.typingIndex = 1;
  });
}

void typingTick(Presentation& p) {
  ControlAccess& c = p.controls;
  ProgramState& s = p.state;
  c.setFocus(ctl::kAnswerBox);
  // A space never takes a tick of its own: it goes out with the character after it.
  Text piece;
  do {
    piece = s.typingPieces.at(s.typingIndex);
    c.appendText(ctl::kAnswerBox, piece);
    c.appendText(ctl::kCopyBox, piece);
    ++s.typingIndex;
  } while (piece == " ");
  if (s.typingIndex < s.typingPieces.count()) return;
  finishTyping(p);
}

void progressTick(Presentation& p) {
  ControlAccess& c = p.controls;
  const int total = charCount(c.content(ctl::kTranscriptBox));
  const int shown = charCount(c.content(ctl::kAnswerBox));
  c.setTitle(programTitle() + progressLabel() + toText(shown) + "/" + toText(total));
}

// Counted as code page 936 decodes to UTF-16, without decoding: bytes below 0x80 are one
// character each; 0x80 (the euro sign) and 0xFF are one-byte characters; a lead byte 0x81-0xFE
// with a valid trail byte (0x40-0x7E, 0x80-0xFE) is one character, and with any other byte after
// it, or at the end of the text, it stands alone as one replacement character and the byte after
// it is counted on its own.
int charCount(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  int count = 0;
  for (std::size_t i = 0; i < n; ++count) {
    const unsigned b = p[i];
    if (b >= 0x81 && b <= 0xFE && i + 1 < n) {
      const unsigned t = p[i + 1];
      if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE)) {
        i += 2;
        continue;
      }
    }
    ++i;
  }
  return count;
}

}  // namespace qelvora
