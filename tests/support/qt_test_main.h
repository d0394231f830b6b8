// The main() of the test programs that need a Qt application (qt_test_main.cpp): it makes the
// application (QApplication in the widget suites, QCoreApplication elsewhere), installs the window
// thread's wait hooks and runs the tests.
#pragma once

namespace qelvora::testing {

// What `program --child ...` runs instead of the tests: a test that needs a fresh process starts
// its own program this way. Set once, before main runs (from a static initialiser).
using ChildMain = int (*)(int argc, char** argv);
bool setChildMain(ChildMain childMain);

}  // namespace qelvora::testing
