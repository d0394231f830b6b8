// qelvora-ask: one question asked as if typed into 编辑框3 and 按钮1 pressed, answered by the same
// code as in the window, driving the headless form model instead of widgets.
#pragma once

namespace qelvora::cli {

// The whole program. Returns only on a usage error (2) or after --help (0); otherwise it ends the
// process itself once the answer has been typed, whatever workers are still running.
int runAsk(int argc, char** argv);

}  // namespace qelvora::cli
