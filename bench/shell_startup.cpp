// Start-up figures of the real program (offscreen): the time from process start until the main
// window is shown (goal 300 ms) and the resident memory once the welcome text has been typed
// (goal 80 MB). With --screenshot PATH the child also saves the main window as a PNG image.
//
// The parent notes the monotonic clock, starts itself as a child that runs the program's start-up
// sequence, and compares with the monotonic time the child reports when its window is shown.
#include <QApplication>
#include <QCoreApplication>
#include <QPixmap>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/startup.h"
#include "app/windows.h"

namespace {

double monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int child(int argc, char** argv) {
  QString screenshot = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  QApplication qtApp(argc, argv);
  auto& program = qelvora::runProgram(qtApp, [screenshot](qelvora::Application& app) {
    std::printf("shown_at_ms=%.3f\n", monotonicMs());
    std::fflush(stdout);
    auto* poll = new QTimer(&app.model);
    QObject::connect(poll, &QTimer::timeout, [&app, poll, screenshot] {
      if (app.model.disabled(qelvora::ctl::kAskButton)) return;  // still typing the welcome
      poll->stop();
      std::printf("rss_kb=%ld\n", residentKb());
      if (!screenshot.isEmpty()) app.views->mainWindow()->grab().save(screenshot, "PNG");
      app.views->mainWindow()->close();
    });
    poll->start(50);
  });
  qelvora::exitRoutine(program);
  qelvora::endProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return child(argc, argv);
  QStringList args{"--child"};
  if (argc > 2 && std::strcmp(argv[1], "--screenshot") == 0)
    args << QString::fromLocal8Bit(argv[2]);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QCoreApplication parent(argc, argv);

  double shownSum = 0, shownMax = 0;
  long rssMax = 0;
  const int runs = 3;
  for (int i = 0; i < runs; ++i) {
    QProcess proc;
    proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    double start = monotonicMs();
    proc.start(QString::fromLocal8Bit(argv[0]), args);
    if (!proc.waitForFinished(120000) || proc.exitCode() != 0) {
      std::fprintf(stderr, "the program did not end with code 0\n");
      return 1;
    }
    double shownAt = 0;
    long rss = 0;
    for (const QByteArray& line : proc.readAllStandardOutput().split('\n')) {
      if (line.startsWith("shown_at_ms=")) shownAt = line.mid(12).toDouble();
      if (line.startsWith("rss_kb=")) rss = line.mid(7).toLong();
    }
    double shown = shownAt - start;
    shownSum += shown;
    shownMax = std::max(shownMax, shown);
    rssMax = std::max(rssMax, rss);
  }
  std::printf("main window shown after process start: mean %.1f ms, max %.1f ms (goal 300 ms)\n",
              shownSum / runs, shownMax);
  std::printf("resident memory after the welcome text: %.1f MB (goal 80 MB)\n", rssMax / 1024.0);
  return shownMax <= 300 && rssMax <= 80 * 1024 ? 0 : 1;
}
