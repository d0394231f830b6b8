// Start-up figures of the real program (offscreen): the time from process start until the main
// window is shown (goal 300 ms) and the resident memory once the welcome text has been typed
// (goal 80 MB). With --screenshot PATH the child also saves the main window as a PNG image.
//
// The parent notes the monotonic clock, starts itself as a child that runs the program's start-up
// sequence, and compares with the monotonic time the child reports when its window is shown.
//
// --answer-screenshot PATH HOSTPORT runs the program once, in this process, and asks answer source
// 1 a corpus question of the reference sites served at HOSTPORT (bench/answer_screenshot.sh starts
// them). It saves the main window as a PNG image while the answer is being typed, with the question
// line and part of the answer in 编辑框4. The computer's clock stays untouched: a recording clock
// setter replaces the real one before the question is asked.
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "answer/typing.h"
#include "app/startup.h"
#include "app/windows.h"
#include "base/clock.h"
#include "base/hosts.h"
#include "web/encoding.h"

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

// A corpus question of the fuzzy reference site, and not one the program answers by itself.
constexpr const char* kQuestion = "天空为什么是蓝色的";
// How much of the transcript is typed when the picture is taken.
constexpr double kTypedShare = 0.5;
// From start-up (welcome text, busy animation, fetch) to the picture.
constexpr int kGiveUpMs = 60000;

int answerScreenshot(int argc, char** argv) {
  using namespace qelvora;
  const QString path = QString::fromLocal8Bit(argv[2]);
  const std::string host = argv[3];
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication qtApp(argc, argv);

  auto clock = std::make_shared<RecordingClockSetter>();
  const Text question = utf8ToGbk(kQuestion);
  const Text askedPrefix = utf8ToGbk("问：");
  QElapsedTimer since;
  bool asked = false;
  bool saved = false;
  // The latest picture whose answer box still shows its first line: the box scrolls to its end
  // as characters arrive, and a long answer could push the question line out of view.
  QPixmap lastTop;

  auto& program = runProgram(qtApp, [&](Application& app) {
    // After the program's own services, so the recording setter is the one in force.
    installClockSetter(clock);
    hosts() = Hosts{host, host, host, host};

    since.start();
    auto* poll = new QTimer(&app.model);
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
      QWidget* window = app.views->mainWindow();
      auto finish = [&](const char* failure) {
        poll->stop();
        if (failure) std::fprintf(stderr, "answer screenshot: %s\n", failure);
        window->close();
      };
      if (since.elapsed() > kGiveUpMs) return finish("no answer typed in time");

      if (!asked) {
        if (app.model.disabled(ctl::kAskButton)) return;  // still typing the welcome
        asked = true;
        app.model.editByUser(ctl::kQuestionBox, question);
        app.model.selectByUser(ctl::kSourceList, 0);
        if (auto* button = qobject_cast<QAbstractButton*>(app.views->control(ctl::kAskButton)))
          button->click();
        else
          app.model.click(ctl::kAskButton);
        return;
      }

      const Text transcript = app.model.content(ctl::kTranscriptBox);
      const Text typed = app.model.content(ctl::kAnswerBox);
      if (transcript.empty() || typed.rfind(askedPrefix, 0) != 0) {
        // Busy animation, or the no-answer reply being typed.
        if (!transcript.empty() && transcript.rfind(askedPrefix, 0) != 0)
          return finish("source 1 gave no answer (are the reference sites at HOSTPORT?)");
        return;
      }
      auto* box = qobject_cast<QPlainTextEdit*>(app.views->control(ctl::kAnswerBox));
      const bool topVisible = !box || box->verticalScrollBar()->value() == 0;
      if (topVisible) lastTop = window->grab();
      if (charCount(typed) < kTypedShare * charCount(transcript) && topVisible) return;
      if (lastTop.isNull()) return finish("the answer box scrolled before its first character");
      saved = lastTop.save(path, "PNG");
      std::printf("typed %d of %d characters; clock set calls %zu\n", charCount(typed),
                  charCount(transcript), clock->calls().size());
      finish(saved ? nullptr : "the picture could not be saved");
    });
    poll->start(20);
  });
  exitRoutine(program);
  endProcess(saved && clock->calls().empty() ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return child(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "--answer-screenshot") == 0) {
    if (argc != 4) {
      std::fprintf(stderr, "usage: %s --answer-screenshot PATH HOSTPORT\n", argv[0]);
      return 2;
    }
    return answerScreenshot(argc, argv);
  }
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
