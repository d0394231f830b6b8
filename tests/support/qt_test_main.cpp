#include "tests/support/qt_test_main.h"

#include <gtest/gtest.h>

#if defined(QELVORA_TEST_WIDGETS)
#include <QApplication>
#else
#include <QCoreApplication>
#endif

#include <cstring>

#include "app/event_hooks.h"

namespace qelvora::testing {

namespace {

ChildMain& registeredChild() {
  static ChildMain child = nullptr;
  return child;
}

}  // namespace

bool setChildMain(ChildMain childMain) {
  registeredChild() = childMain;
  return true;
}

}  // namespace qelvora::testing

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--child") == 0 && qelvora::testing::registeredChild())
    return qelvora::testing::registeredChild()(argc, argv);
#if defined(QELVORA_TEST_WIDGETS)
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  qelvora::installGuiEventHooks();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
