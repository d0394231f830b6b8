// Start-up and exit: the program's services, the shared state, the main window and its event
// table, the welcome text, and the end of the process.
#pragma once

#include <functional>
#include <memory>

#include "app/form_model.h"
#include "base/program_state.h"
#include "sources/answer_session.h"

class QApplication;
class QCoreApplication;

namespace qelvora {

class WindowViews;

// Everything that lives from start-up to exit. Created once and never destroyed before the
// process ends: detached workers may still hold references to it.
struct Application {
  ProgramState state;
  FormModel model;
  AnswerSession session{model, state, {}, {}, {}};
  std::unique_ptr<WindowViews> views;
};

// The welcome text typed at start-up (GBK, CR LF between lines, none after the last).
const Text& welcomeText();

// The window-created handler: 按钮1 disabled, the welcome text into 编辑框5, the typing started.
void windowCreated(Application& app);

// Binds the event table of the model to the program's handlers.
void bindHandlers(Application& app);

// Qt's own texts (the edit boxes' context menu, ...) in the user's language where Qt has it, in
// the window's Chinese otherwise. False when no translation could be loaded.
bool installQtTranslations(QCoreApplication& qtApp);

// The exit routine: stops what still plays and frees the shared state.
void exitRoutine(Application& app);

// The start-up sequence up to the end of the window loop: builds the application and the main
// window, shows it, raises its created event (running afterShow first, if given: tests and the
// benchmarks hook in there) and runs the loop until the main window closes. Returns the
// application, which stays alive.
Application& runProgram(QApplication& qtApp,
                        const std::function<void(Application&)>& afterShow = nullptr);

// Ends the process with code after flushing the standard streams. Detached workers may still run
// or wait on a control call; ending through std::_Exit runs no static destructors under their
// feet, so the process ends with code whatever they are doing.
[[noreturn]] void endProcess(int code);

}  // namespace qelvora
