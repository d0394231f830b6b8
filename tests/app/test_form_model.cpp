// The headless form: property rules, timers, the picture window, and control access from workers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/event_hooks.h"
#include "app/form_model.h"
#include "base/threads.h"
#include "tests/support/qt_events.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::serveUntil;

void serveFor(int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                    static_cast<int>(deadline.remainingTime()));
}

TEST(FormModel, InitialStateOfTheLayout) {
  FormModel m;
  struct Case {
    std::string_view control;
    Property property;
    PropertyValue expected;
  } cases[] = {
      {ctl::kMainWindow, Property::Title, utf8ToGbk("Qelvora")},
      {ctl::kPictureWindow, Property::Title, Text()},  // closed until opened
      {ctl::kSpeedBox, Property::Content, Text("40")},
      {ctl::kQuestionBox, Property::Content, Text()},
      {ctl::kTranscriptBox, Property::Content, Text()},
      {ctl::kSourceList, Property::Selection, 0},
      {ctl::kAskButton, Property::Disabled, false},
      {ctl::kAskButton, Property::Caption, utf8ToGbk("智能解答")},
      {ctl::kRetypeButton, Property::Caption, utf8ToGbk("解答")},
      {ctl::kDownloadButton, Property::Caption, Text()},
      {"标签1", Property::Caption, utf8ToGbk("速度(毫秒)：")},
      {ctl::kTypingTimer, Property::Period, 0},
      {ctl::kProgressTimer, Property::Period, 0},
      {ctl::kBrowser, Property::Address, Text()},
      {ctl::kPictureBox, Property::Picture, Bytes()},
      // A property the control does not have, and a control that does not exist.
      {ctl::kAnswerBox, Property::Period, 0},
      {"编辑框9", Property::Content, Text()},
  };
  for (const auto& c : cases)
    EXPECT_EQ(m.readProperty(c.control, c.property), c.expected) << c.control;
  auto items = m.items(ctl::kSourceList);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2], utf8ToGbk("智能芯片③(软件)"));
}

TEST(FormModel, EditContentsAreExactBytes) {
  FormModel m;
  const Text cases[] = {
      "",
      "\r\n\r\n",
      utf8ToGbk("问：你好\r\n答：世界"),
      Text("\x81"),                  // a lone lead byte
      Text("ab\xff\xfe\x80"),        // not GBK at all
      Text("\xa1\xa1  \t\x7f\x01"),  // full-width space, tab, DEL, control byte
      Text(1 << 20, 'x'),
  };
  for (const Text& t : cases) {
    for (auto box : {ctl::kQuestionBox, ctl::kTranscriptBox, ctl::kPictureAddressBox}) {
      m.setContent(box, t);
      EXPECT_EQ(m.content(box), t) << box;
    }
  }
  m.setContent(ctl::kAnswerBox, "a\r");
  m.appendText(ctl::kAnswerBox, "\n");
  m.appendText(ctl::kAnswerBox, "\xb0");
  m.appendText(ctl::kAnswerBox, "");
  EXPECT_EQ(m.content(ctl::kAnswerBox), "a\r\n\xb0");
  // A value of the wrong kind is ignored, not converted.
  m.writeProperty(ctl::kAnswerBox, Property::Content, 5);
  EXPECT_EQ(m.content(ctl::kAnswerBox), "a\r\n\xb0");
  // Appending to something that is not an edit box does nothing.
  m.appendText(ctl::kAskButton, "x");
  EXPECT_EQ(m.readProperty(ctl::kAskButton, Property::Caption),
            PropertyValue(utf8ToGbk("智能解答")));
}

// Content, caption and title are one text inside: a write of the one a control lacks must neither
// land nor change the one it has.
TEST(FormModel, TextPropertiesGoOnlyToTheirKinds) {
  FormModel m;
  struct Case {
    std::string_view control;
    Property lacked, owned;
    Text value;
  } cases[] = {
      {"标签1", Property::Content, Property::Caption, utf8ToGbk("速度(毫秒)：")},
      {"分组框1", Property::Title, Property::Caption, utf8ToGbk("提问区")},
      {ctl::kAskButton, Property::Content, Property::Caption, utf8ToGbk("智能解答")},
      {ctl::kSpeedBox, Property::Caption, Property::Content, Text("40")},
      {ctl::kMainWindow, Property::Caption, Property::Title, Text("Qelvora")},
  };
  for (const Case& c : cases) {
    m.writeProperty(c.control, c.lacked, Text("x"));
    EXPECT_EQ(m.readProperty(c.control, c.lacked), PropertyValue(Text())) << c.control;
    EXPECT_EQ(m.readProperty(c.control, c.owned), PropertyValue(c.value)) << c.control;
  }
}

TEST(FormModel, SelectionStaysInRange) {
  FormModel m;
  struct {
    int written, read;
  } cases[] = {{2, 2}, {1, 1}, {3, -1}, {-5, -1}, {0, 0}};
  for (auto c : cases) {
    m.writeProperty(ctl::kSourceList, Property::Selection, c.written);
    EXPECT_EQ(m.selection(ctl::kSourceList), c.read) << c.written;
  }
}

TEST(FormModel, ButtonsRunTheirHandlerOnlyWhenEnabled) {
  FormModel m;
  int asked = 0, retyped = 0, downloads = 0;
  m.handlers.askClicked = [&] { ++asked; };
  m.handlers.retypeClicked = [&] { ++retyped; };
  m.handlers.downloadClicked = [&] { ++downloads; };
  m.click(ctl::kAskButton);
  m.setDisabled(ctl::kAskButton, true);
  EXPECT_TRUE(m.disabled(ctl::kAskButton));
  m.click(ctl::kAskButton);
  m.click(ctl::kRetypeButton);
  m.click(ctl::kDownloadButton);
  m.click(ctl::kAnswerBox);  // not a button
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(retyped, 1);
  EXPECT_EQ(downloads, 1);
  m.setDisabled(ctl::kAskButton, false);
  m.click(ctl::kAskButton);
  EXPECT_EQ(asked, 2);
}

TEST(FormModel, CreatedEventIsRaisedOnce) {
  FormModel m;
  int created = 0;
  m.handlers.mainWindowCreated = [&] { ++created; };
  m.raiseMainWindowCreated();
  m.raiseMainWindowCreated();
  EXPECT_EQ(created, 1);
}

TEST(FormModel, BrowserOpensOnlyWebAddresses) {
  FormModel m;
  std::vector<Text> opened;
  // Without an opener nothing happens (headless).
  m.writeProperty(ctl::kBrowser, Property::Address, Text("http://127.0.0.1/a.zip"));
  m.setBrowserOpener([&](const Text& a) { opened.push_back(a); });
  struct {
    Text address;
    bool opens;
  } cases[] = {
      {"", false},
      {"http://127.0.0.1/a.zip", true},
      {"HTTPS://127.0.0.1/b.exe", true},
      {"http://127.0.0.1/a.zip", true},  // the same address again navigates again
      {"ftp://127.0.0.1/c", false},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"http:", false},
  };
  std::size_t expected = 0;
  for (const auto& c : cases) {
    m.writeProperty(ctl::kBrowser, Property::Address, c.address);
    if (c.opens) ++expected;
    ASSERT_EQ(opened.size(), expected) << c.address;
    if (c.opens) {
      EXPECT_EQ(opened.back(), c.address);
    }
    EXPECT_EQ(ControlAccess::asText(m.readProperty(ctl::kBrowser, Property::Address)), c.address);
  }
}

// Timers: counted ticks, never wall-clock bounds.
struct TickCounter {
  FormModel m;
  int ticks = 0;
  TickCounter() {
    m.handlers.typingTimerTick = [this] { ++ticks; };
  }
};

TEST(FormModelTimers, NegativeMeansStoppedAndZeroStops) {
  TickCounter t;
  t.m.setPeriod(ctl::kTypingTimer, -40);
  EXPECT_EQ(t.m.period(ctl::kTypingTimer), 0);
  t.m.setPeriod(ctl::kTypingTimer, 5);
  ASSERT_TRUE(serveUntil([&] { return t.ticks >= 3; }));
  t.m.setPeriod(ctl::kTypingTimer, 0);
  int stoppedAt = t.ticks;
  serveFor(100);
  EXPECT_EQ(t.ticks, stoppedAt);
  EXPECT_EQ(t.m.period(ctl::kTypingTimer), 0);
}

TEST(FormModelTimers, SameValueDoesNotRestartButANewOneDoes) {
  // Rewriting 150 every 10 ms: a restart on each write would never let a tick through.
  TickCounter same;
  same.m.setPeriod(ctl::kTypingTimer, 150);
  QTimer rewrite;
  QObject::connect(&rewrite, &QTimer::timeout, [&] { same.m.setPeriod(ctl::kTypingTimer, 150); });
  rewrite.start(10);
  EXPECT_TRUE(serveUntil([&] { return same.ticks >= 3; }));
  rewrite.stop();

  // Alternating 150 and 151 every 10 ms restarts the timer each time: no tick gets through.
  TickCounter changed;
  int next = 150;
  changed.m.setPeriod(ctl::kTypingTimer, next);
  QObject::connect(&rewrite, &QTimer::timeout, [&] {
    next = next == 150 ? 151 : 150;
    changed.m.setPeriod(ctl::kTypingTimer, next);
  });
  rewrite.start(10);
  serveFor(600);
  rewrite.stop();
  EXPECT_EQ(changed.ticks, 0);
}

TEST(FormModelTimers, InstantTimersTickWithoutWaitingAndKeepThePeriod) {
  TickCounter t;
  int progress = 0;
  t.m.handlers.progressTimerTick = [&] { ++progress; };
  t.m.setPeriod(ctl::kTypingTimer, 3'600'000);
  t.m.setPeriod(ctl::kProgressTimer, 3'600'000);
  t.m.setInstantTimers(true);
  EXPECT_TRUE(serveUntil([&] { return t.ticks >= 20 && progress >= 20; }));
  EXPECT_EQ(t.m.period(ctl::kTypingTimer), 3'600'000);
  t.m.setPeriod(ctl::kTypingTimer, 0);
  int stoppedAt = t.ticks;
  serveFor(50);
  EXPECT_EQ(t.ticks, stoppedAt);
}

TEST(FormModelPictureWindow, ClosingRunsTheHandlerOncePerOpeningAndDropsLateWrites) {
  FormModel m;
  int created = 0, closing = 0;
  const Bytes gif(std::string("GIF89a\x01\x00\x01\x00", 10));
  m.handlers.pictureWindowCreated = [&] {
    ++created;
    m.writeProperty(ctl::kPictureBox, Property::Picture, gif);
    EXPECT_EQ(ControlAccess::asBytes(m.readProperty(ctl::kPictureBox, Property::Picture)), gif);
    QTimer::singleShot(0, &m, [&] {
      m.closePictureWindow();
      m.closePictureWindow();  // a second close of the same opening does nothing
    });
  };
  m.handlers.pictureWindowClosing = [&] { ++closing; };

  // Before any opening: dropped, and reads give the empty value.
  m.writeProperty(ctl::kPictureBox, Property::Picture, gif);
  EXPECT_TRUE(ControlAccess::asBytes(m.readProperty(ctl::kPictureBox, Property::Picture)).empty());

  for (int opening = 1; opening <= 2; ++opening) {
    m.openPictureWindow();  // returns once the window has been closed
    EXPECT_FALSE(m.pictureWindowOpen());
    EXPECT_EQ(created, opening);
    EXPECT_EQ(closing, opening);
    m.writeProperty(ctl::kPictureBox, Property::Picture, gif);
    EXPECT_TRUE(
        ControlAccess::asBytes(m.readProperty(ctl::kPictureBox, Property::Picture)).empty());
  }
}

TEST(FormModelPictureWindow, AWorkerOpensItAndALoaderWritesIntoIt) {
  FormModel m;
  std::atomic<bool> loaded{false}, returned{false};
  const Bytes png(std::string("\x89PNG\r\n\x1a\n", 8));
  m.handlers.pictureWindowCreated = [&] {
    startWorker([&] {
      m.writeProperty(ctl::kPictureBox, Property::Picture, png);
      loaded = true;
    });
  };
  std::thread opener([&] {
    m.openPictureWindow();
    returned = true;
  });
  // The window's nested loop runs inside the serving below, so the checks run from a timer.
  bool checked = false, openSeen = false, returnedEarly = true;
  Bytes shown;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (checked || !loaded) return;
    checked = true;
    openSeen = m.pictureWindowOpen();
    shown = ControlAccess::asBytes(m.readProperty(ctl::kPictureBox, Property::Picture));
    returnedEarly = returned;
    m.closePictureWindow();
  });
  poll.start(5);
  ASSERT_TRUE(serveUntil([&] { return returned.load(); }));
  EXPECT_TRUE(checked);
  EXPECT_TRUE(openSeen);
  EXPECT_EQ(shown, png);
  EXPECT_FALSE(returnedEarly);
  opener.join();
}

TEST(FormModelThreads, WorkerReadsBackAtOnceWhileTheWindowThreadWaits) {
  FormModel m;
  installGuiEventHooks();
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread worker([&] {
    for (int i = 0; i < 300; ++i) {
      Text t = "\xce\xca\xa3\xba" + std::to_string(i) + "\x81";  // "问：" i, a stray lead byte
      m.setContent(ctl::kTranscriptBox, t);
      if (m.content(ctl::kTranscriptBox) != t) ++mismatches;
      m.appendText(ctl::kCopyBox, "x");
    }
    m.runOnWindowThread([&] { EXPECT_TRUE(m.onWindowThread()); });
    done = true;
  });
  // The window thread sits in waits that serve its events.
  QDeadlineTimer deadline(30000);
  while (!done && !deadline.hasExpired()) waitWithEvents(50);
  EXPECT_TRUE(done.load());
  worker.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(m.content(ctl::kCopyBox), Text(300, 'x'));
  installEventHooks({});
}

TEST(WindowThreadWaits, ServeEventsAndAQuitDuringAWaitStillEndsTheLoop) {
  installGuiEventHooks();
  FormModel m;
  int ticks = 0;
  m.handlers.progressTimerTick = [&] { ++ticks; };
  bool waitReturned = false;
  int ticksInWait = 0;
  QTimer::singleShot(0, [&] {
    m.setPeriod(ctl::kProgressTimer, 10);
    // The quit comes while the handler waits; the wait goes on to its end.
    QTimer::singleShot(20, QCoreApplication::instance(), &QCoreApplication::quit);
    waitWithEvents(150);
    ticksInWait = ticks;
    waitReturned = true;
  });
  // Only a safety net against a loop that never ends.
  QTimer::singleShot(20000, [] { QCoreApplication::exit(7); });
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(waitReturned);
  EXPECT_GT(ticksInWait, 0);  // the timer kept ticking during the wait
  installEventHooks({});
}

TEST(FormModelThreads, ShutDownReleasesBlockedCallersWithEmptyValues) {
  FormModel m;
  m.setContent(ctl::kQuestionBox, "abc");
  Text seen = "unset";
  std::atomic<bool> returned{false};
  // The window thread serves no events here, so the worker's call stays queued until shutDown.
  std::thread worker([&] {
    seen = m.content(ctl::kQuestionBox);
    m.setContent(ctl::kQuestionBox, "late");
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  m.shutDown();
  worker.join();
  EXPECT_EQ(seen, "");
  // The queued calls that were abandoned never run afterwards.
  QCoreApplication::processEvents();
  EXPECT_TRUE(m.isShutDown());
}

TEST(FormModel, ClosedMainWindowStopsTimersAndDropsWrites) {
  TickCounter t;
  int closing = 0;
  t.m.handlers.pictureWindowClosing = [&] { ++closing; };
  t.m.setPeriod(ctl::kTypingTimer, 5);
  ASSERT_TRUE(serveUntil([&] { return t.ticks >= 1; }));
  t.m.closeMainWindow();
  int stoppedAt = t.ticks;
  serveFor(60);
  EXPECT_EQ(t.ticks, stoppedAt);
  t.m.setContent(ctl::kAnswerBox, "x");
  EXPECT_EQ(t.m.content(ctl::kAnswerBox), "");
  EXPECT_EQ(t.m.period(ctl::kTypingTimer), 0);
  t.m.openPictureWindow();  // nothing to open over a closed main window
  EXPECT_EQ(closing, 0);
}

}  // namespace
}  // namespace qelvora
