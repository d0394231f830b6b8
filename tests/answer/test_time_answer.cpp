// The time answer: cutting the milliseconds out of a time page, and fetching the page from a time
// service on loopback.
#include <gtest/gtest.h>

#include "answer/time_answer.h"
#include "base/hosts.h"
#include "base/text.h"
#include "tests/support/recording_server.h"
#include "web/cookie_store.h"

namespace qelvora {
namespace {

using testing::httpReply;
using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

struct Expected {
  int year, month, day, hour, minute, second;
};

void expectFields(DateTime value, const Expected& e, const std::string& what) {
  CalendarFields f = toCalendarFields(value);
  EXPECT_EQ(f.year, e.year) << what;
  EXPECT_EQ(f.month, e.month) << what;
  EXPECT_EQ(f.day, e.day) << what;
  EXPECT_EQ(f.hour, e.hour) << what;
  EXPECT_EQ(f.minute, e.minute) << what;
  EXPECT_EQ(f.second, e.second) << what;
}

TEST(TimeAnswer, MillisecondsAfterTheMarkerBecomeBeijingTime) {
  struct Case {
    std::string page;
    Expected expected;
  };
  const Expected epoch{1970, 1, 1, 8, 0, 0};
  const std::vector<Case> cases = {
      // 2014-05-13 16:53:20 UTC is 2014-05-14 00:53:20 in Beijing.
      {"x window.baidu_time(1400000000000);", {2014, 5, 14, 0, 53, 20}},
      {"window.baidu_time(999)", epoch},  // milliseconds are dropped, not rounded
      {"window.baidu_time(1999)", {1970, 1, 1, 8, 0, 1}},
      {"window.baidu_time(60000) window.baidu_time(120000)", {1970, 1, 1, 8, 1, 0}},
      {") window.baidu_time(3000)", {1970, 1, 1, 8, 0, 3}},
      {"window.baidu_time(5000", epoch},  // no closing bracket
      {"", epoch},
      // Without the marker the piece from byte 17 to the next ")" is read.
      {"................7000)", {1970, 1, 1, 8, 0, 7}},
      {"no marker here at all)", epoch},
      {std::string("window.baidu_time(\0 4000)", 25), epoch},  // the page ends at its NUL
  };
  for (const Case& c : cases) expectFields(readTimePage(c.page).time, c.expected, c.page);
  EXPECT_EQ(toText(readTimePage("window.baidu_time(1400000000000)").time),
            toText(readTimePage("window.baidu_time(1400000000999)").time));
}

class TimeServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setCookieFilePath(::testing::TempDir() + "time_answer_cookies_" + std::to_string(getpid()));
  }
  void TearDown() override { hosts().time = savedHost_; }
  std::string savedHost_ = hosts().time;
};

TEST_F(TimeServiceTest, FetchesTheTimePageFreshOverHttp10) {
  RecordingServer server([](const RecordedRequest&) -> Reply {
    return {httpReply("200 OK", "", "<script>window.baidu_time(1400000000000);</script>")};
  });
  hosts().time = server.hostPort();
  const TimeReading fetched = fetchBeijingTime();
  EXPECT_TRUE(fetched.carriesTime);
  expectFields(fetched.time, {2014, 5, 14, 0, 53, 20}, "fetched");
  expectFields(beijingTime(), {2014, 5, 14, 0, 53, 20}, "beijingTime");

  RecordedRequest request = server.requests().at(0);
  EXPECT_EQ(request.requestLine(), "GET /special/time/ HTTP/1.0");
  EXPECT_EQ(request.linesNamed("Accept"), std::vector<std::string>{"Accept: */*"});
  EXPECT_EQ(
      request.linesNamed("User-Agent"),
      std::vector<std::string>{"User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)"});
  EXPECT_EQ(request.linesNamed("Cache-Control"),
            std::vector<std::string>{"Cache-Control: no-cache"});
  EXPECT_EQ(request.linesNamed("Pragma"), std::vector<std::string>{"Pragma: no-cache"});
}

TEST_F(TimeServiceTest, NoTimeWithoutAServerOrAMarker) {
  RecordingServer server(
      [](const RecordedRequest&) -> Reply { return {httpReply("200 OK", "", "no time today")}; });
  hosts().time = server.hostPort();
  EXPECT_FALSE(fetchBeijingTime().carriesTime);
  expectFields(beijingTime(), {1970, 1, 1, 8, 0, 0}, "no marker");

  hosts().time = "127.0.0.1:" + std::to_string(testing::closedPort());
  EXPECT_FALSE(fetchBeijingTime().carriesTime);
  expectFields(beijingTime(), {1970, 1, 1, 8, 0, 0}, "no server");
  EXPECT_TRUE(fetchWholeFile("http://" + hosts().time + "/special/time/").empty());
}

}  // namespace
}  // namespace qelvora
