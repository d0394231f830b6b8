// The typing effect and the progress title on the headless form.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "answer/typing.h"
#include "app/form_model.h"
#include "base/program_state.h"
#include "tests/support/qt_events.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::serveUntil;

Text gbk(std::string_view utf8) {
  return utf8ToGbk(utf8);
}

// Forwards to the form and notes every call that changes something, so the order of the closing
// steps can be checked.
class LoggingControls : public ControlAccess {
 public:
  explicit LoggingControls(FormModel& model) : model_(model) {}
  PropertyValue readProperty(std::string_view control, Property property) override {
    return model_.readProperty(control, property);
  }
  void writeProperty(std::string_view control, Property property, PropertyValue value) override {
    std::string entry = "write " + std::string(control);
    if (auto* i = std::get_if<int>(&value)) entry += " " + std::to_string(*i);
    if (auto* b = std::get_if<bool>(&value)) entry += *b ? " true" : " false";
    if (auto* t = std::get_if<Text>(&value)) entry += " " + *t;
    log.push_back(entry);
    model_.writeProperty(control, property, std::move(value));
  }
  void appendText(std::string_view control, std::string_view text) override {
    model_.appendText(control, text);
  }
  void setFocus(std::string_view control) override {
    log.push_back("focus " + std::string(control));
    model_.setFocus(control);
  }
  void openPictureWindow() override {
    log.push_back("open picture window");
    model_.openPictureWindow();
    log.push_back("picture window closed");
  }
  void runOnWindowThread(const std::function<void()>& fn) override { model_.runOnWindowThread(fn); }
  int characterCount(std::string_view box) override { return model_.characterCount(box); }

  std::vector<std::string> log;

 private:
  FormModel& model_;
};

class Typing : public ::testing::Test {
 protected:
  Typing() {
    model.setDisabled(ctl::kAskButton, true);
    // The picture window stays open until the test loop closes it.
    QObject::connect(&model, &FormModel::pictureWindowOpened, [this] {
      ++pictureOpenings;
      askDisabledWhilePictureOpen = model.disabled(ctl::kAskButton);
      QTimer::singleShot(0, &model, [this] { model.closePictureWindow(); });
    });
  }

  void typeOut(const Text& transcript) {
    model.setContent(ctl::kTranscriptBox, transcript);
    startTyping(session);
  }
  bool finished() { return !model.disabled(ctl::kAskButton); }

  FormModel model;
  LoggingControls controls{model};
  ProgramState state;
  std::atomic<int> soundStarts{0}, soundStops{0};
  std::atomic<bool> soundStartedOnWindowThread{false};
  AnswerSession session{controls,
                        state,
                        [this] {
                          ++soundStarts;
                          soundStartedOnWindowThread = QThread::currentThread() == model.thread();
                        },
                        [this] { ++soundStops; },
                        {}};
  int pictureOpenings = 0;
  bool askDisabledWhilePictureOpen = false;
};

// What each tick adds to the answer box, and that the typing ends in the tick that shows the
// last character, not before.
TEST_F(Typing, TypesOneCharacterPerTickWithSpacesRidingAlong) {
  struct Case {
    const char* name;
    Text transcript;
    std::vector<Text> ticks;
  };
  const Case cases[] = {
      {"letters and a space", "AB CD", {"A", "B", " C", "D"}},
      {"trailing space goes out with the end", "AB ", {"A", "B", " "}},
      {"run of spaces", "A   B", {"A", "   B"}},
      {"leading space", " A", {" A"}},
      {"empty transcript", "", {""}},
      {"CR LF are two characters", "a\r\nb", {"a", "\r", "\n", "b"}},
      {"full-width space takes a tick", gbk("甲　乙"), {gbk("甲"), gbk("　"), gbk("乙")}},
      {"Chinese and ASCII", gbk("答：是 的"), {gbk("答"), gbk("："), gbk("是"), gbk(" 的")}},
      {"lead-byte test starts at 0x7F",
       "\x7F"
       "AB",
       {"\x7F"
        "A",
        "B"}},
      {"lone lead byte at the end", "A\xB0", {"A", "\xB0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model.setContent(ctl::kAnswerBox, "old");
    model.setDisabled(ctl::kAskButton, true);
    const int stopsBefore = soundStops;
    typeOut(c.transcript);
    EXPECT_EQ(model.content(ctl::kAnswerBox), "");
    EXPECT_EQ(model.period(ctl::kTypingTimer), 40);
    Text shown;
    for (std::size_t i = 0; i < c.ticks.size(); ++i) {
      SCOPED_TRACE("tick " + std::to_string(i + 1));
      EXPECT_FALSE(finished());
      typingTick(session);
      shown += c.ticks[i];
      EXPECT_EQ(model.content(ctl::kAnswerBox), shown);
      EXPECT_EQ(model.focusedControl(),
                i + 1 < c.ticks.size() ? ctl::kAnswerBox : ctl::kQuestionBox);
    }
    EXPECT_TRUE(finished());
    EXPECT_EQ(model.period(ctl::kTypingTimer), 0);
    EXPECT_EQ(soundStops, stopsBefore + 1);
    EXPECT_EQ(model.content(ctl::kAnswerBox), c.transcript);
  }
  // The hidden copy box is never cleared: it holds everything typed so far.
  Text all;
  for (const Case& c : cases) all += c.transcript;
  EXPECT_EQ(model.content(ctl::kCopyBox), all);
  EXPECT_EQ(soundStarts, int(std::size(cases)));
}

TEST_F(Typing, SpeedComesFromTheSpeedBox) {
  struct Case {
    Text speed;
    int period;
  };
  const Case cases[] = {
      {"40", 40},
      {gbk("１０"), 10},
      {"25ms", 25},
      {"12.9", 12},
      {"7", 7},
      // Unusable speeds fall back to the initial 40 ms instead of never typing.
      {"0", 40},
      {"", 40},
      {"abc", 40},
      {"-5", 40},
      {"0.5", 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speed);
    model.setPeriod(ctl::kTypingTimer, 0);
    model.setContent(ctl::kSpeedBox, c.speed);
    typeOut("abc");
    EXPECT_EQ(model.period(ctl::kTypingTimer), c.period);
  }
}

TEST_F(Typing, FiftySevenCharactersMakeFiftyEightPieces) {
  Text transcript;
  for (int i = 0; i < 19; ++i) transcript += gbk("问") + "a\n";
  ASSERT_EQ(charCount(transcript), 57);
  typeOut(transcript);
  ASSERT_EQ(state.typingPieces.count(), 58);
  EXPECT_EQ(state.typingIndex, 1);
  for (int tick = 1; tick <= 57; ++tick) {
    ASSERT_FALSE(finished()) << "tick " << tick;
    typingTick(session);
  }
  EXPECT_TRUE(finished());
  EXPECT_EQ(model.content(ctl::kAnswerBox), transcript);
}

TEST_F(Typing, ProgressTitleCountsCharacters) {
  const Text label = "Qelvora      \xBD\xF8\xB6\xC8\xA3\xBA";  // "进度：" in GBK
  // The busy text before the transcript is written.
  model.setContent(ctl::kAnswerBox, gbk("系统分析中..."));
  progressTick(session);
  EXPECT_EQ(model.title(), label + "8/0");

  model.setPeriod(ctl::kProgressTimer, 10);
  typeOut(gbk("问：你好\r\n答：A B"));
  progressTick(session);
  EXPECT_EQ(model.title(), label + "0/11");
  typingTick(session);
  typingTick(session);
  typingTick(session);
  progressTick(session);
  EXPECT_EQ(model.title(), label + "3/11");
  while (!finished()) typingTick(session);
  EXPECT_EQ(model.title(), "Qelvora");
  EXPECT_EQ(model.period(ctl::kProgressTimer), 0);
}

TEST_F(Typing, CharCountFollowsCodePage936) {
  struct Case {
    Text text;
    int count;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"\r\n", 2},
      {gbk("中文"), 2},
      {gbk("问：Qelvora？"), 10},
      {"\x80", 1},  // the euro sign is one byte
      {"\xFF"
       "a",
       2},                      // an unassigned single byte
      {"\xB0", 1},              // a lead byte with nothing after it
      {"\x81\x20", 2},          // a lead byte before a byte that cannot follow it
      {"\x81\x7F", 2},          // 0x7F is no trail byte
      {"\x81\x40\x81\xFE", 2},  // the edges of the trail range
      {"\xA1\xA1 ", 2},         // full-width space, space
  };
  for (const Case& c : cases) EXPECT_EQ(charCount(c.text), c.count) << c.text;
  // For well-formed text the count is the number of UTF-16 units of the decoded text.
  for (const char* utf8 : {"欢迎使用Qelvora,\r\n本系统会根据你所提及的问题给予最准确最科学的解答。",
                           "问：软件下载\r\n答：（１）　版本 2.0；大小 3MB", "㈠㈡ ¤§¨°±"}) {
    const Text t = gbk(utf8);
    const Bytes wide = toWide(t, CodePage::Gbk);
    EXPECT_EQ(charCount(t), int(wide.size() / 2) - 1) << utf8;
  }
}

// The byte-at-a-time reading of the rule, against which the block-wise count is checked on
// texts full of lead-byte runs of every length and parity across the 64-byte blocks.
int charCountByteWise(std::string_view text) {
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++count) {
    const unsigned b = static_cast<unsigned char>(text[i]);
    const unsigned t = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const bool lead = b >= 0x81 && b <= 0xFE;
    const bool trail = (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE);
    i += lead && trail ? 2 : 1;
  }
  return count;
}

TEST(CharCount, BlockWiseCountAndRunningTallyMatchTheByteWiseRule) {
  const unsigned char alphabet[] = {'a',  ' ',  '\r', 0x3F, 0x40, 0x7E, 0x7F,
                                    0x80, 0x81, 0xA1, 0xB0, 0xD6, 0xFE, 0xFF};
  std::mt19937 random(936);
  for (int round = 0; round < 4000; ++round) {
    const std::size_t length = random() % 300;
    // Mostly lead bytes, so that long runs cross the block edges.
    const unsigned leadShare = random() % 100;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      text.push_back(char(random() % 100 < leadShare ? 0x81 + random() % 0x7E
                                                     : alphabet[random() % std::size(alphabet)]));
    }
    ASSERT_EQ(charCount(text), charCountByteWise(text)) << "round " << round;
    // The running tally, from a counted prefix and then in random pieces, as an answer is typed.
    std::size_t at = random() % (length + 1);
    CharTally tally(std::string_view(text).substr(0, at));
    while (at < length) {
      const std::size_t piece = std::min<std::size_t>(length - at, 1 + random() % 3);
      tally.append(std::string_view(text).substr(at, piece));
      at += piece;
      ASSERT_EQ(tally.count(), charCountByteWise(text.substr(0, at))) << "round " << round;
    }
  }
  for (std::size_t run = 60; run <= 200; ++run) {
    for (const char after : {'\x40', '\x80', 'a', '\xFF'}) {
      const std::string text = std::string(run, '\xB0') + after;
      ASSERT_EQ(charCount(text), charCountByteWise(text)) << run;
      ASSERT_EQ(charCount(text.substr(0, run)), charCountByteWise(text.substr(0, run))) << run;
    }
  }
}

TEST_F(Typing, EndingStepsRunInOrder) {
  for (const bool withPicture : {false, true}) {
    SCOPED_TRACE(withPicture ? "with picture" : "without picture");
    model.setContent(ctl::kPictureAddressBox, withPicture ? "http://127.0.0.1/p.jpg" : "");
    model.setDisabled(ctl::kAskButton, true);
    model.setPeriod(ctl::kProgressTimer, 10);
    pictureOpenings = 0;
    typeOut("xy");
    typingTick(session);
    controls.log.clear();
    const int stopsBefore = soundStops;
    typingTick(session);
    EXPECT_EQ(soundStops, stopsBefore + 1);
    std::vector<std::string> expected = {"focus 编辑框4", "write 时钟1 0", "write 时钟2 0",
                                         "write 主窗口 Qelvora"};
    if (withPicture) {
      expected.push_back("open picture window");
      expected.push_back("picture window closed");
    }
    expected.push_back("write 按钮1 false");
    expected.push_back("focus 编辑框3");
    EXPECT_EQ(controls.log, expected);
    EXPECT_EQ(pictureOpenings, withPicture ? 1 : 0);
    if (withPicture) {
      EXPECT_TRUE(askDisabledWhilePictureOpen);
    }
    EXPECT_FALSE(model.pictureWindowOpen());
  }
}

// An answer source calls startTyping on its worker; the work still happens on the window thread.
TEST_F(Typing, StartFromAWorkerRunsOnTheWindowThread) {
  model.setContent(ctl::kTranscriptBox, gbk("答：好"));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    startTyping(session);
    done = true;
  });
  EXPECT_TRUE(serveUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(soundStarts, 1);
  EXPECT_TRUE(soundStartedOnWindowThread);
  EXPECT_EQ(state.typingPieces.count(), 4);
  EXPECT_EQ(state.typingIndex, 1);
}

// On the form's own timers: the text is typed whole, and a restart in the middle starts over
// without clearing the copy box.
TEST_F(Typing, TimerDrivenTypingRunsToTheEnd) {
  model.handlers.typingTimerTick = [this] { typingTick(session); };
  model.handlers.progressTimerTick = [this] { progressTick(session); };
  model.setContent(ctl::kSpeedBox, "1");
  const Text first = gbk("欢迎使用 Qelvora,\r\n本系统会根据你所提及的问题给予解答。");
  typeOut(first);
  ASSERT_TRUE(serveUntil([&] { return model.content(ctl::kAnswerBox).size() >= 8; }));
  const Text partial = model.content(ctl::kCopyBox);
  const Text second = gbk("问：几点\r\n答：十点");
  model.setPeriod(ctl::kProgressTimer, 10);
  typeOut(second);
  EXPECT_EQ(model.content(ctl::kAnswerBox), "");
  ASSERT_TRUE(serveUntil([&] { return finished(); }));
  EXPECT_EQ(model.content(ctl::kAnswerBox), second);
  EXPECT_EQ(model.content(ctl::kCopyBox), partial + second);
  EXPECT_EQ(model.title(), "Qelvora");
  EXPECT_EQ(model.period(ctl::kTypingTimer), 0);
  EXPECT_EQ(model.period(ctl::kProgressTimer), 0);
}

}  // namespace
}  // namespace qelvora
