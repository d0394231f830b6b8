// Test helpers for the router and the end-to-end runs: the headless form with the typing effect
// bound to its timers, the ask button bound to askQuestion, and waits that serve Qt events.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "answer/router.h"
#include "answer/typing.h"
#include "app/answer_events.h"
#include "app/form_model.h"
#include "base/clock.h"
#include "base/program_state.h"
#include "base/threads.h"
#include "tests/support/qt_events.h"
#include "web/encoding.h"

namespace qelvora::testing {

inline Text gbk(std::string_view utf8) {
  return utf8ToGbk(utf8);
}

// The main window's logic on the headless form, its answering events bound as the window binds
// them. The clock seam records instead of setting the machine's clock.
class AnswerRig {
 public:
  AnswerRig()
      : session{model, state, [this] { ++soundStarts; }, [this] { ++soundStops; }, {}},
        clock(std::make_shared<RecordingClockSetter>()) {
    previousClock = installClockSetter(clock);
    bindAnswerEvents(model, session);
    // The picture window opens only when a test wants to see it; close it at once.
    QObject::connect(&model, &FormModel::pictureWindowOpened, [this] {
      ++pictureOpenings;
      QTimer::singleShot(0, &model, [this] { model.closePictureWindow(); });
    });
    QObject::connect(
        &model, &FormModel::propertyChanged, [this](const QString& control, Property property) {
          if (property == Property::Title &&
              control == QString::fromUtf8(ctl::kMainWindow.data(), ctl::kMainWindow.size())) {
            titles.push_back(model.title());
          }
        });
    model.setContent(ctl::kSpeedBox, "1");
    model.setDisabled(ctl::kAskButton, false);
  }
  // The workers the answers started (a source finishing, the download offer of a closed picture
  // window) may still be on their way out, calling into the form: the rig outlives them.
  ~AnswerRig() {
    serveUntil([] { return runningWorkers() == 0; });
    installClockSetter(previousClock);
  }

  // Types the question, picks the source (0-based), presses 按钮1 and waits for the typing to end.
  bool ask(std::string_view questionGbk, int source) {
    model.editByUser(ctl::kQuestionBox, Text(questionGbk));
    model.selectByUser(ctl::kSourceList, source);
    titles.clear();
    model.click(ctl::kAskButton);
    return waitForAnswer();
  }

  // Serves events until the typing has ended (按钮1 enabled again).
  bool waitForAnswer(int timeoutMs = 30000) {
    return serveUntil([this] { return !model.disabled(ctl::kAskButton); }, timeoutMs);
  }

  // What a failed wait reports: how far the answer got.
  std::string formState() {
    return "编辑框4 holds " + std::to_string(model.content(ctl::kAnswerBox).size()) +
           " bytes, 编辑框5 " + std::to_string(model.content(ctl::kTranscriptBox).size()) +
           " bytes, 时钟1 period " + std::to_string(model.period(ctl::kTypingTimer)) +
           ", 时钟2 period " + std::to_string(model.period(ctl::kProgressTimer)) +
           ", 按钮1 disabled " + std::to_string(model.disabled(ctl::kAskButton));
  }

  bool progressTitleSeen() const {
    const Text prefix = gbk("Qelvora      进度：");
    for (const Text& t : titles) {
      if (t.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  FormModel model;
  ProgramState state;
  AnswerSession session;
  std::shared_ptr<RecordingClockSetter> clock;
  std::shared_ptr<ClockSetter> previousClock;
  std::atomic<int> soundStarts{0}, soundStops{0};
  int pictureOpenings = 0;
  std::vector<Text> titles;
};

}  // namespace qelvora::testing
