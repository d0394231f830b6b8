#include "answer/router.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "answer/time_answer.h"
#include "answer/typing.h"
#include "base/clock.h"
#include "base/threads.h"
#include "sources/source_exact.h"
#include "sources/source_fuzzy.h"
#include "sources/source_software.h"
#include "web/encoding.h"

namespace qelvora {

namespace {

struct RouterTexts {
  Text busyFull = utf8ToGbk("系统分析中.......");
  Text noAnswer = utf8ToGbk("对不起，您问的问题我还没有解答方法\r\n");

  Text timeQuestion1 = utf8ToGbk("北京时间");
  Text timeQuestion2 = utf8ToGbk("现在几点");
  Text timeShown = utf8ToGbk("北京时间？");
  Text timeAnswer = utf8ToGbk("现在是北京时间：");

  Text menQuestion = utf8ToGbk("男人是什么");
  Text menShown = utf8ToGbk("男人是什么？");
  Text men = utf8ToGbk(
      "首先,我们清楚的知道男人和女人在一起是为了爱和满足男人的好色之心。\r\n 那么: 男人=爱+色 "
      "\r\n其次,我们都知道 爱神丘比特 是个天使 因此: \r\n爱=丘比特=天使 \r\n所以: 男人=天使+色 "
      "\r\n此外,我们听过禅曰:色即是空\r\n即色=0 \r\n因此得出: 男人=天使+0 "
      "\r\n所以,得出一个无法争辩的事实: \r\n男人=天使");

  Text womenQuestion = utf8ToGbk("女人是什么");
  Text womenShown = utf8ToGbk("女人是什么？");
  Text women = utf8ToGbk(
      "首先,我们清楚的知道,和女人交往需要时间和金钱的\r\n所以: 女人=时间X金钱\r\n其次,"
      "我们还清楚的知道:时间就是金钱。所以\r\n女人=金钱X金钱X金钱\r\n我们知道金钱是万恶之根那么"
      "\r\n金钱=√恶魔\r\n所以: 女人=(√恶魔)2\r\n这样,我们被迫得出一个结论\r\n 女人=恶魔");
};

const RouterTexts& texts() {
  static const RouterTexts t;
  return t;
}

// The clock is set only to a time between this program's build (a later build knows a later
// floor) and the end of 2100: a page that says 0, 1e30 or a number past the int range is no
// reason to move a computer's clock by decades.
bool plausibleClockTime(const TimeReading& reading) {
  constexpr double kBuilt = QELVORA_BUILD_EPOCH;
  constexpr double kEndOf2100 = 4133980800.0;  // 2101-01-01 00:00 UTC
  const double seconds = reading.milliseconds / 1000;
  return reading.carriesTime && seconds >= kBuilt && seconds < kEndOf2100;
}

enum class BuiltIn { None, Time, Men, Women };

BuiltIn builtInQuestion(const Text& q) {
  const RouterTexts& t = texts();
  auto either = [&](const Text& a, const Text& b) {
    return byteCompare(q, a) == 0 || byteCompare(q, b) == 0;
  };
  if (either(t.timeQuestion1, t.timeQuestion2)) return BuiltIn::Time;
  if (either(t.menQuestion, t.menShown)) return BuiltIn::Men;
  if (either(t.womenQuestion, t.womenShown)) return BuiltIn::Women;
  return BuiltIn::None;
}

// The time page is fetched on a worker while this (window) thread keeps serving its events in
// short slices, so the window paints and the progress title ticks during the fetch. Nothing when
// the main window closes meanwhile: the wait ends there and the fetch is left to finish alone.
std::optional<TimeReading> fetchTimeServingEvents(ControlAccess& c) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    TimeReading value;
  };
  auto shared = std::make_shared<Shared>();
  const bool started = startWorker([shared] {
    const TimeReading value = fetchBeijingTime();
    std::lock_guard lock(shared->mutex);
    shared->value = value;
    shared->done = true;
    shared->changed.notify_all();
  });
  if (!started) return fetchBeijingTime();

  std::unique_lock lock(shared->mutex);
  for (;;) {
    lock.unlock();
    processEvents();
    if (!c.mainWindowOpen()) return std::nullopt;
    lock.lock();
    if (shared->done) return shared->value;
    shared->changed.wait_for(lock, std::chrono::milliseconds(5), [&] { return shared->done; });
  }
}

// waitWithEvents(milliseconds) in slices that end the wait early when the main window closes;
// false then.
bool pauseWhileOpen(ControlAccess& c, int milliseconds) {
  if (instantWaits()) {
    waitWithEvents(milliseconds);
    return c.mainWindowOpen();
  }
  constexpr std::uint32_t kSliceMs = 50;
  const std::uint32_t begin = tickCount();
  const auto limit = static_cast<std::uint32_t>(std::max(milliseconds, 0));
  for (;;) {
    if (!c.mainWindowOpen()) return false;
    const std::uint32_t elapsed = tickCount() - begin;
    if (elapsed > limit) return true;
    // At least 1: a wait of 0 would return at once and spin until the tick moves on.
    waitWithEvents(static_cast<int>(std::clamp<std::uint32_t>(limit - elapsed, 1, kSliceMs)));
  }
}

Text transcriptOf(const ProgramState& s) {
  return transcript(s.shownQuestion, s.answerText);
}

void typeTranscript(AnswerSession& session) {
  // The typing timer ticks on the window thread; building the pieces there too means no tick can
  // see a half-built list.
  session.controls.runOnWindowThread([&session] { startTyping(session); });
}

// Runs on the window thread for about six seconds, serving its events. Once the main window has
// been closed it stops at its next step: no further fetch, no clock setting, no typing, so the
// window loop can end and the process with it.
void answerBuiltIn(AnswerSession& session, BuiltIn which) {
  const RouterTexts& t = texts();
  ControlAccess& c = session.controls;
  ProgramState& s = session.state;

  // The women answer is typed without a progress title.
  if (which != BuiltIn::Women) c.setPeriod(ctl::kProgressTimer, 10);
  switch (which) {
    case BuiltIn::Time: {
      s.shownQuestion = t.timeShown;
      const std::optional<TimeReading> fetched = fetchTimeServingEvents(c);
      if (!fetched || !c.mainWindowOpen()) return;
      // A failed fetch shows the epoch in Beijing time, as the time page would have said.
      s.answerText = t.timeAnswer + toText(fetched->time);
      break;
    }
    case BuiltIn::Men:
      s.shownQuestion = t.menShown;
      s.answerText = t.men;
      break;
    default:
      s.shownQuestion = t.womenShown;
      s.answerText = t.women;
      break;
  }
  busyAnimation(c);
  if (!c.mainWindowOpen()) return;
  c.setContent(ctl::kTranscriptBox, transcriptOf(s));
  // The clock follows a second, fresh fetch; without a plausible time from the page it is left
  // alone rather than being set back to 1970 or on to 2038.
  const std::optional<TimeReading> now = fetchTimeServingEvents(c);
  if (now && plausibleClockTime(*now)) setSystemClock(now->time);
  if (!pauseWhileOpen(c, 1000)) return;
  typeTranscript(session);
}

void startSource(AnswerSession& session, void (*entry)(AnswerSession&)) {
  // A failed start leaves the window busy; there is nothing better to do with it.
  startWorker([&session, entry] { entry(session); });
}

}  // namespace

const Text& noAnswerText() {
  return texts().noAnswer;
}
const Text& menAnswer() {
  return texts().men;
}
const Text& womenAnswer() {
  return texts().women;
}

void askQuestion(AnswerSession& session) {
  ControlAccess& c = session.controls;
  c.setDisabled(ctl::kAskButton, true);
  c.setContent(ctl::kTranscriptBox, Text());
  c.setContent(ctl::kAnswerBox, busyText());

  const BuiltIn which = builtInQuestion(c.content(ctl::kQuestionBox));
  if (which != BuiltIn::None) {
    answerBuiltIn(session, which);
    return;
  }
  switch (c.selection(ctl::kSourceList)) {
    case 0:
      startSource(session, askFuzzySource);
      break;
    case 1:
      startSource(session, askExactSource);
      break;
    case 2:
      startSource(session, askSoftwareSource);
      break;
    default:  // no selection: nothing starts and the window stays busy
      break;
  }
}

void busyAnimation(ControlAccess& controls) {
  const RouterTexts& t = texts();
  for (int pass = 1; pass <= 50; ++pass) {
    waitWithEvents(100);
    if (!controls.mainWindowOpen()) return;
    if (byteCompare(controls.content(ctl::kAnswerBox), t.busyFull) == 0) {
      controls.setContent(ctl::kAnswerBox, busyText());
    }
    controls.setContent(ctl::kAnswerBox, controls.content(ctl::kAnswerBox) + ".");
  }
}

void finishAnswer(AnswerSession& session) {
  ControlAccess& c = session.controls;
  busyAnimation(c);
  waitWithEvents(1000);
  if (!c.mainWindowOpen()) return;
  // Decided on the answer as cut, before any clean-up.
  if (session.state.answerText.empty()) c.setContent(ctl::kTranscriptBox, texts().noAnswer);
  // The progress title starts before the typing: a short answer typed quickly could otherwise end
  // before the title timer starts, and nothing would restore the title afterwards.
  c.setPeriod(ctl::kProgressTimer, 10);
  typeTranscript(session);
}

}  // namespace qelvora
