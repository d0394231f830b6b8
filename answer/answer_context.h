// What answering a question works with: the controls, the program's shared state and the sound,
// bundled as the typing effect needs them. One instance lives as long as the main window; the
// answer-source worker started by askQuestion keeps a reference to it until its answer is typed.
#pragma once

#include "answer/typing.h"
#include "base/controls.h"
#include "base/program_state.h"

namespace qelvora {

struct AnswerContext {
  Presentation& presentation;

  ControlAccess& controls() { return presentation.controls; }
  ProgramState& state() { return presentation.state; }
};

}  // namespace qelvora
