#include "app/event_hooks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include "base/threads.h"

namespace qelvora {

void installGuiEventHooks() {
  QThread* gui = QCoreApplication::instance()->thread();
  EventHooks hooks;
  // Everything already waiting. Qt's quit is not an event in the queue but a flag on the running
  // loops, so a quit requested while a handler waits still ends the main loop when the handler
  // returns to it.
  hooks.processEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
  // Sleep in the dispatcher until something arrives; the single-shot timer bounds the sleep.
  hooks.waitForEvents = [](int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(timeoutMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  };
  hooks.appliesHere = [gui] { return QThread::currentThread() == gui; };
  installEventHooks(std::move(hooks));
}

}  // namespace qelvora
