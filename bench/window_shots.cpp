// The README's pictures, taken from a real X server with a window manager (bench/screenshots.sh
// provides both): the program runs once in this process against the reference sites at HOSTPORT,
// and each picture is the screen under the windows' frames, title bars included.
//
//   screenshot.png  the main window after the welcome text
//   answer.png      an answer of source 1 being typed, the progress in the title
//   picture.png     a software answer with its "相关图片" window over the main window
//
// It also prints where each window's frame lies against the screen's available area. The
// computer's clock stays untouched: a recording clock setter replaces the real one first.
//
// Usage: window_shots OUTDIR HOSTPORT
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/windows.h"
#include "base/clock.h"
#include "base/hosts.h"
#include "web/encoding.h"

namespace {

using namespace qelvora;

// Corpus questions of the reference sites: one for source 1, one for source 3.
constexpr const char* kFuzzyQuestion = "天空为什么是蓝色的";
constexpr const char* kSoftwareQuestion = "电脑上用什么看图软件好";
// How much of the answer is typed when its picture is taken.
constexpr double kTypedShare = 0.4;
constexpr int kGiveUpMs = 120000;

// The screen under the frames of the given windows.
QPixmap grabFrames(std::initializer_list<QWidget*> windows) {
  QRect area;
  for (QWidget* w : windows) area |= w->frameGeometry();
  return windows.begin()[0]->screen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                  area.height());
}

void printPlacement(const char* name, QWidget* w) {
  const QRect f = w->frameGeometry();
  const QRect a = w->screen()->availableGeometry();
  std::printf("%s: frame %d,%d %dx%d, client %dx%d; frame centre off the area's by %+.1f, %+.1f\n",
              name, f.x(), f.y(), f.width(), f.height(), w->width(), w->height(),
              (2 * f.x() + f.width() - 2 * a.x() - a.width()) / 2.0,
              (2 * f.y() + f.height() - 2 * a.y() - a.height()) / 2.0);
}

// The steps, each polled until it is done; a step returns true when it is.
class Shots {
 public:
  Shots(Application& app, QString dir) : app_(app), dir_(std::move(dir)) {
    steps_ = {
        [this] { return idleFor(300) && save("screenshot.png", grabFrames({main()})); },
        [this] { return ask(kFuzzyQuestion, 0); },
        [this] { return answerPartlyTyped(); },
        [this] { return idleFor(300) && ask(kSoftwareQuestion, 2); },
        [this] { return pictureShown(); },
    };
  }

  bool failed = false;

  void start() {
    auto* poll = new QTimer(&app_.model);
    QObject::connect(poll, &QTimer::timeout, [this, poll] {
      if (since_.elapsed() > kGiveUpMs) return finish(poll, "gave up waiting");
      if (step_ < steps_.size() && steps_[step_]()) ++step_;
      if (step_ == steps_.size()) finish(poll, nullptr);
    });
    since_.start();
    poll->start(20);
  }

 private:
  QWidget* main() { return app_.views->mainWindow(); }
  bool busy() { return app_.model.disabled(ctl::kAskButton); }

  // Not busy for ms in a row (the last paint has happened).
  bool idleFor(int ms) {
    if (busy()) {
      idle_.invalidate();
      return false;
    }
    if (!idle_.isValid()) idle_.start();
    return idle_.elapsed() >= ms;
  }

  bool ask(const char* question, int source) {
    idle_.invalidate();
    app_.model.editByUser(ctl::kQuestionBox, utf8ToGbk(question));
    app_.model.selectByUser(ctl::kSourceList, source);
    if (auto* button = qobject_cast<QAbstractButton*>(app_.views->control(ctl::kAskButton)))
      button->click();
    return true;
  }

  // The latest picture that still shows the question line, once enough of the answer is typed.
  bool answerPartlyTyped() {
    const Text transcript = app_.model.content(ctl::kTranscriptBox);
    const Text typed = app_.model.content(ctl::kAnswerBox);
    if (transcript.empty() || typed.rfind(utf8ToGbk("问："), 0) != 0) return false;
    auto* box = qobject_cast<QAbstractScrollArea*>(app_.views->control(ctl::kAnswerBox));
    const bool topVisible = !box || box->verticalScrollBar()->value() == 0;
    if (topVisible && main()->windowTitle().contains(QStringLiteral("进度")))
      lastTop_ = grabFrames({main()});
    if (charCount(typed) < kTypedShare * charCount(transcript) && topVisible) return false;
    if (lastTop_.isNull()) return false;
    return save("answer.png", lastTop_);
  }

  bool pictureShown() {
    QWidget* picture = app_.views->pictureWindow();
    if (!picture) return false;
    if (ControlAccess::asBytes(app_.model.readProperty(ctl::kPictureBox, Property::Picture))
            .empty())
      return false;
    if (!shownFor_.isValid()) shownFor_.start();
    if (shownFor_.elapsed() < 300) return false;  // its frame placed and painted
    printPlacement("main window", main());
    printPlacement("picture window", picture);
    const bool saved = save("picture.png", grabFrames({main(), picture}));
    app_.model.closePictureWindow();
    return saved;
  }

  bool save(const char* name, const QPixmap& pixmap) {
    const QString path = QDir(dir_).filePath(QString::fromLatin1(name));
    if (!pixmap.save(path, "PNG")) {
      std::fprintf(stderr, "window_shots: cannot write %s\n", qPrintable(path));
      failed = true;
    } else {
      std::printf("saved %s\n", qPrintable(path));
    }
    return true;
  }

  void finish(QTimer* poll, const char* failure) {
    poll->stop();
    if (failure) {
      std::fprintf(stderr, "window_shots: %s\n", failure);
      failed = true;
    }
    main()->close();
  }

  Application& app_;
  QString dir_;
  std::vector<std::function<bool()>> steps_;
  std::size_t step_ = 0;
  QElapsedTimer since_;
  QElapsedTimer idle_;
  QElapsedTimer shownFor_;
  QPixmap lastTop_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR HOSTPORT\n", argv[0]);
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const std::string host = argv[2];
  QApplication qtApp(argc, argv);
  auto clock = std::make_shared<RecordingClockSetter>();
  std::unique_ptr<Shots> shots;
  Application& program = runProgram(qtApp, [&](Application& app) {
    installClockSetter(clock);  // after the program's own services
    hosts() = Hosts{host, host, host, host};
    app.model.setBrowserOpener([](const Text&) {});  // no browser for the download offer
    shots = std::make_unique<Shots>(app, dir);
    shots->start();
  });
  exitRoutine(program);
  endProcess(shots && !shots->failed && clock->calls().empty() ? 0 : 1);
}
