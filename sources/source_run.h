// What a run of an answer source works with, on its worker thread.
#pragma once

#include <functional>

#include "base/controls.h"
#include "base/program_state.h"

namespace qelvora {

// finishAnswer is the router's closing step (busy animation, pause, no-answer reply, typing); the
// sources cannot reach answer/ themselves.
struct SourceRun {
  ControlAccess& controls;
  ProgramState& state;
  std::function<void()> finishAnswer;
};

}  // namespace qelvora
