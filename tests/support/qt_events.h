// Serving Qt events in test programs that run the window thread's event loop themselves.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace qelvora::testing {

// Serves the calling thread's Qt events until done() holds or limitMs has passed; the limit only
// keeps a fault from hanging the test. Returns done().
inline bool serveUntil(const std::function<bool()>& done, int limitMs = 60000) {
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(2);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() > limitMs) loop.quit();
  });
  poll.start();
  if (!done()) loop.exec();
  return done();
}

}  // namespace qelvora::testing
