// The question router on the headless form: built-in answers with their transcripts, progress
// title and clock setting, the dispatch of every other question to the selected source, and the
// closing step's no-answer reply.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "../sources/test_source_support.h"
#include "app/event_hooks.h"
#include "base/datetime.h"
#include "base/hosts.h"
#include "test_router_support.h"

namespace qelvora {
namespace {

using testing::AnswerRig;
using testing::gbk;
using testing::RecordingServer;
using testing::Reply;

// Serves the time page with one body per request, in turn (the last one repeats).
struct TimeService {
  explicit TimeService(std::vector<std::string> bodies)
      : server([this, bodies](const std::string& target) {
          std::lock_guard lock(mutex);
          targets.push_back(target);
          const std::string& body = bodies[std::min(served++, bodies.size() - 1)];
          return Reply{body};
        }) {
    hosts().time = server.host();
  }
  std::mutex mutex;
  std::vector<std::string> targets;
  size_t served = 0;
  RecordingServer server;
};

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override { setInstantWaits(true); }
  void TearDown() override { setInstantWaits(false); }
};

DateTime beijing(int y, int mo, int d, int h, int mi, int s) {
  return fromCalendarFields(CalendarFields{y, mo, d, h, mi, s, 0});
}

struct BuiltInCase {
  const char* name;
  const char* question;
  std::string transcript;  // UTF-8
  bool progressTitle;
  bool timeAnswer;  // the answer itself fetches the time page, before the clock's fetch
};

void PrintTo(const BuiltInCase& c, std::ostream* os) {
  *os << c.name;
}

class BuiltInTest : public RouterTest, public ::testing::WithParamInterface<BuiltInCase> {};

TEST_P(BuiltInTest, AnswersWithTranscriptProgressAndClock) {
  const BuiltInCase& c = GetParam();
  // 2030-03-17 17:46:40 UTC, then five seconds later: Beijing time is eight hours ahead. The
  // clock is set only to times after the build, so these lie in the future.
  TimeService time({"<script>window.baidu_time(1900000000000);</script>",
                    "<script>window.baidu_time(1900000005000);</script>"});
  AnswerRig rig;
  ASSERT_TRUE(rig.ask(gbk(c.question), 0)) << rig.formState();

  const Text expected = gbk(c.transcript);
  EXPECT_EQ(rig.model.content(ctl::kTranscriptBox), expected);
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox), expected);
  EXPECT_EQ(rig.progressTitleSeen(), c.progressTitle);
  EXPECT_EQ(rig.model.title(), "Qelvora");
  EXPECT_EQ(rig.model.period(ctl::kProgressTimer), 0);
  // Every built-in answer fetches the time page for the clock, a second time for the time answer.
  EXPECT_EQ(time.targets, std::vector<std::string>(c.timeAnswer ? 2 : 1, "/special/time/"));
  const auto calls = rig.clock->calls();
  ASSERT_EQ(calls.size(), 1u);
  const DateTime set =
      c.timeAnswer ? beijing(2030, 3, 18, 1, 46, 45) : beijing(2030, 3, 18, 1, 46, 40);
  EXPECT_NEAR(calls[0].days, set.days, 1e-8);
  EXPECT_EQ(rig.model.focusedControl(), std::string(ctl::kQuestionBox));
}

const char* kMen =
    "问：男人是什么？\r\n答：首先,我们清楚的知道男人和女人在一起是为了爱和满足男人的好色之心。"
    "\r\n 那么: 男人=爱+色 \r\n其次,我们都知道 爱神丘比特 是个天使 因此: \r\n爱=丘比特=天使 "
    "\r\n所以: 男人=天使+色 \r\n此外,我们听过禅曰:色即是空\r\n即色=0 \r\n因此得出: 男人=天使+0 "
    "\r\n所以,得出一个无法争辩的事实: \r\n男人=天使";
const char* kWomen =
    "问：女人是什么？\r\n答：首先,我们清楚的知道,和女人交往需要时间和金钱的\r\n所以: "
    "女人=时间X金钱\r\n其次,我们还清楚的知道:时间就是金钱。所以\r\n女人=金钱X金钱X金钱\r\n"
    "我们知道金钱是万恶之根那么\r\n金钱=√恶魔\r\n所以: 女人=(√恶魔)2\r\n这样,"
    "我们被迫得出一个结论\r\n 女人=恶魔";

INSTANTIATE_TEST_SUITE_P(
    Router, BuiltInTest,
    ::testing::Values(
        // The time shown is the first fetch's; the clock gets the second one.
        BuiltInCase{"Time", "北京时间",
                    "问：北京时间？\r\n答：现在是北京时间：2030年3月18日1时46分40秒", true, true},
        BuiltInCase{"TimeByHour", "现在几点",
                    "问：北京时间？\r\n答：现在是北京时间：2030年3月18日1时46分40秒", true, true},
        BuiltInCase{"Men", "男人是什么", kMen, true, false},
        BuiltInCase{"MenWithQuestionMark", "男人是什么？", kMen, true, false},
        BuiltInCase{"Women", "女人是什么", kWomen, false, false},
        BuiltInCase{"WomenWithQuestionMark", "女人是什么？", kWomen, false, false}),
    [](const ::testing::TestParamInfo<BuiltInCase>& p) { return std::string(p.param.name); });

TEST(CannedAnswers, HaveTheirFixedByteLengths) {
  EXPECT_EQ(menAnswer().size(), 270u);
  EXPECT_EQ(womenAnswer().size(), 233u);
  EXPECT_EQ(noAnswerText(), gbk("对不起，您问的问题我还没有解答方法\r\n"));
}

struct TimePageCase {
  const char* name;
  std::string body;  // UTF-8, sent as GBK; empty with unreachable = true: no server at all
  const char* shown;
  bool setsClock;
  bool unreachable = false;
};

void PrintTo(const TimePageCase& c, std::ostream* os) {
  *os << c.name;
}

class TimePageTest : public RouterTest, public ::testing::WithParamInterface<TimePageCase> {};

// The answer shows what the page reads as, however odd the page; the clock follows only a page
// whose marker is followed by a number.
TEST_P(TimePageTest, AnswerReadsThePageAndOnlyANumberSetsTheClock) {
  const TimePageCase& c = GetParam();
  std::unique_ptr<TimeService> time;
  if (c.unreachable) {
    hosts().time = "127.0.0.1:1";  // nothing listens there
  } else {
    time = std::make_unique<TimeService>(std::vector<std::string>{gbk(c.body)});
  }
  AnswerRig rig;
  ASSERT_TRUE(rig.ask(gbk("北京时间"), 0)) << rig.formState();
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox),
            gbk(std::string("问：北京时间？\r\n答：现在是北京时间：") + c.shown));
  EXPECT_EQ(rig.clock->calls().size(), c.setsClock ? 1U : 0U);
}

constexpr char kEpoch[] = "1970年1月1日8时";
constexpr char k2014[] = "2014年5月14日0时53分20秒";
constexpr char k2030[] = "2030年3月18日1时46分40秒";
INSTANTIATE_TEST_SUITE_P(
    Router, TimePageTest,
    ::testing::Values(
        TimePageCase{"NoMarker", "<html>no time here (1234567)</html>", kEpoch, false},
        TimePageCase{"MarkerWithoutNumber", "window.baidu_time();", kEpoch, false},
        TimePageCase{"NotANumber", "window.baidu_time(nan);", kEpoch, false},
        TimePageCase{"EmptyBody", "", kEpoch, false},
        TimePageCase{"Unreachable", "", kEpoch, false, true},
        TimePageCase{"LineBreakBeforeTheNumber", "window.baidu_time(\r\n1900000000000)", k2030,
                     true},
        TimePageCase{"PlusSign", "window.baidu_time(+1900000000000)", k2030, true},
        TimePageCase{"FullWidthDigits", "window.baidu_time(１９０００００００００００)", k2030,
                     true},
        // A time the page says but the clock never follows: before this program was built, past
        // 2100, or past the range the answer can show (which then shows 2038).
        TimePageCase{"BeforeTheEpoch", "window.baidu_time(-5000)", "1970年1月1日7时59分55秒",
                     false},
        TimePageCase{"Zero", "window.baidu_time(0)", kEpoch, false},
        TimePageCase{"BeforeTheBuild", "window.baidu_time(1400000000000)", k2014, false},
        TimePageCase{"After2100", "window.baidu_time(4133980800000)", "2038年1月19日11时14分7秒",
                     false},
        TimePageCase{"HugeNumber", "window.baidu_time(99999999999999999999)",
                     "2038年1月19日11时14分7秒", false},
        TimePageCase{"Exponent", "window.baidu_time(1e30)", "2038年1月19日11时14分7秒", false},
        // Without the marker the piece from byte 17 to the next ")" is read.
        TimePageCase{"NoMarkerFromByte17", "xxxxxxxxxxxxxxxx1400000000000)", k2014, false}),
    [](const ::testing::TestParamInfo<TimePageCase>& p) { return std::string(p.param.name); });

TEST_F(RouterTest, CannedAnswerWithFailedTimeFetchDoesNotSetClock) {
  TimeService time({"nothing"});
  AnswerRig rig;
  ASSERT_TRUE(rig.ask(gbk("男人是什么"), 0)) << rig.formState();
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox), gbk(kMen));
  EXPECT_TRUE(rig.clock->calls().empty());
}

struct DispatchCase {
  const char* name;
  std::string question;  // GBK bytes
  int source;
  std::string target;  // the first request the selected site sees
  size_t requests;     // the software site's second address comes from its (empty) result page
};

void PrintTo(const DispatchCase& c, std::ostream* os) {
  *os << c.name;
}

class DispatchTest : public RouterTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchTest, OtherQuestionsGoToTheSelectedSource) {
  const DispatchCase& c = GetParam();
  TimeService time({"window.baidu_time(1400000000000)"});
  RecordingServer site1([](const std::string&) { return Reply{"nothing"}; });
  RecordingServer site2([](const std::string&) { return Reply{"nothing"}; });
  RecordingServer site3([](const std::string&) { return Reply{"nothing"}; });
  hosts().source1 = site1.host();
  hosts().source2 = site2.host();
  hosts().source3 = site3.host();

  AnswerRig rig;
  rig.model.editByUser(ctl::kQuestionBox, c.question);
  rig.model.selectByUser(ctl::kSourceList, c.source);
  rig.model.setContent(ctl::kTranscriptBox, "old");
  rig.model.click(ctl::kAskButton);
  // The handler has returned: the window is busy and the worker runs on.
  EXPECT_TRUE(rig.model.disabled(ctl::kAskButton));
  ASSERT_TRUE(rig.waitForAnswer()) << rig.formState();

  const RecordingServer* sites[] = {&site1, &site2, &site3};
  for (int i = 0; i < 3; ++i) {
    const auto targets = sites[i]->targets();
    if (i == c.source) {
      ASSERT_EQ(targets.size(), c.requests);
      EXPECT_EQ(targets[0], c.target);
    } else {
      EXPECT_TRUE(targets.empty()) << "site " << i + 1;
    }
  }
  EXPECT_TRUE(time.targets.empty());
  EXPECT_TRUE(rig.clock->calls().empty());
  // Nothing found: the no-answer reply replaces the whole transcript, question line included.
  EXPECT_EQ(rig.model.content(ctl::kTranscriptBox), noAnswerText());
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox), noAnswerText());
  EXPECT_TRUE(rig.progressTitleSeen());
  EXPECT_EQ(rig.model.title(), "Qelvora");
}

INSTANTIATE_TEST_SUITE_P(
    Router, DispatchTest,
    ::testing::Values(
        DispatchCase{"FullWidthQuestionMark", gbk("北京时间？"), 0,
                     "/search/?q=%E5%8C%97%E4%BA%AC%E6%97%B6%E9%97%B4%EF%BC%9F", 2},
        DispatchCase{
            "LeadingSpace", gbk(" 北京时间"), 1,
            "/s/?w=%20%E5%8C%97%E4%BA%AC%E6%97%B6%E9%97%B4&search=%E6%90%9C%E7%B4%A2%E7%AD%94"
            "%E6%A1%88&ch=sp.sb.top",
            2},
        DispatchCase{"AsciiQuestionMark", gbk("北京时间?"), 2,
                     "/search.aspx?keyword=%B1%B1%BE%A9%CA%B1%BC%E4%3F&sType=all", 1},
        DispatchCase{"TrailingSpaceOnCanned", gbk("女人是什么 "), 0,
                     "/search/?q=%E5%A5%B3%E4%BA%BA%E6%98%AF%E4%BB%80%E4%B9%88%20", 2},
        DispatchCase{"EmptyQuestion", "", 0, "/search/?q=", 2}),
    [](const ::testing::TestParamInfo<DispatchCase>& p) { return std::string(p.param.name); });

TEST_F(RouterTest, ProgressTitleDoesNotOutliveAQuicklyTypedAnswer) {
  // With the typing timer ticking without delay the no-answer reply is typed at once; the progress
  // timer must already run by then, so that the end of the typing stops it and restores the title.
  RecordingServer site([](const std::string&) { return Reply{"nothing"}; });
  hosts().source1 = site.host();
  for (int round = 0; round < 5; ++round) {
    AnswerRig rig;
    rig.model.setInstantTimers(true);
    ASSERT_TRUE(rig.ask("x", 0)) << rig.formState();
    EXPECT_EQ(rig.model.content(ctl::kAnswerBox), noAnswerText());
    // Let anything still queued for the window thread arrive.
    testing::serveUntil([] { return false; }, 50);
    EXPECT_EQ(rig.model.period(ctl::kProgressTimer), 0) << "round " << round;
    EXPECT_EQ(rig.model.title(), "Qelvora") << "round " << round;
  }
}

TEST_F(RouterTest, WindowKeepsServingEventsWhileTheTimePageIsFetched) {
  // The time page is held back until a timer on the window thread has fired: that can only happen
  // while the fetch is under way if the window thread keeps serving its events meanwhile.
  std::atomic<bool> released{false};
  std::atomic<int> releasedRequests{0};
  RecordingServer slow([&](const std::string&) {
    for (int i = 0; i < 500 && !released; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (released) ++releasedRequests;
    return Reply{"window.baidu_time(1400000000000)"};
  });
  hosts().time = slow.host();
  AnswerRig rig;
  rig.model.editByUser(ctl::kQuestionBox, gbk("北京时间"));
  QTimer::singleShot(0, [&] { released = true; });
  rig.model.click(ctl::kAskButton);
  ASSERT_TRUE(rig.waitForAnswer()) << rig.formState();
  EXPECT_EQ(slow.targets().size(), 2u);
  EXPECT_EQ(releasedRequests, 2);
}

TEST_F(RouterTest, BusyAnimationCyclesOneToSevenDotsAndEndsWithOne) {
  AnswerRig rig;
  rig.model.setContent(ctl::kAnswerBox, busyText());
  std::vector<Text> shown;
  QObject::connect(
      &rig.model, &FormModel::propertyChanged, [&](const QString& control, Property property) {
        if (property == Property::Content &&
            control == QString::fromUtf8(ctl::kAnswerBox.data(), ctl::kAnswerBox.size())) {
          shown.push_back(rig.model.content(ctl::kAnswerBox));
        }
      });
  busyAnimation(rig.model);

  std::vector<Text> expected;
  for (int pass = 1; pass <= 50; ++pass) {
    const int dots = (pass - 1) % 7 + 1;
    if (dots == 1 && pass > 1) expected.push_back(busyText());  // the reset after seven dots
    expected.push_back(busyText() + std::string(dots, '.'));
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox), gbk("系统分析中."));
}

}  // namespace
}  // namespace qelvora
