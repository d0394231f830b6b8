// The program entry: the start-up sequence, the window loop until the main window closes, the exit
// routine, and exit code 0.
#include <QApplication>

#include "app/startup.h"

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  qelvora::Application& app = qelvora::runProgram(qtApp);
  qelvora::exitRoutine(app);
  qelvora::endProcess(0);
}
