// One answer session: what a source, the router and the typing effect all work with. One instance
// lives as long as the main window (or the terminal's run); a source's worker keeps a reference to
// it until its answer has been typed.
#pragma once

#include <functional>

#include "base/controls.h"
#include "base/program_state.h"

namespace qelvora {

struct AnswerSession {
  ControlAccess& controls;
  ProgramState& state;
  // Start the embedded sound in repeat mode, and stop every playing sound; empty: no sound.
  std::function<void()> startSound;
  std::function<void()> stopSound;
  // The router's closing step that a source ends its run with (busy animation, pause, no-answer
  // reply, typing). Set when the session is bound to its window: a source cannot reach the router.
  std::function<void()> finishAnswer;
};

}  // namespace qelvora
