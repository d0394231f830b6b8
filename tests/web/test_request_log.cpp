// What both fetch clients tell the request observer, and the URLs they refuse to request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/support/recording_server.h"
#include "web/cookie_store.h"
#include "web/fetch.h"
#include "web/request_log.h"

namespace qelvora {
namespace {

using ::testing::HasSubstr;
using testing::httpReply;
using ::testing::IsEmpty;
using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

class RequestLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setCookieFilePath(::testing::TempDir() + "request_log_cookies_" + std::to_string(getpid()));
  }
  void SetUp() override {
    setRequestObserver([this](const RequestRecord& r) {
      std::lock_guard lock(mutex_);
      records_.push_back(r);
    });
  }
  void TearDown() override { setRequestObserver(nullptr); }

  std::vector<RequestRecord> takeRecords() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
  }

  std::mutex mutex_;
  std::vector<RequestRecord> records_;
};

// What a client call left for its caller: the page, the header block, the cookies set.
struct Seen {
  Bytes page;
  Text headers = "stale", cookies = "stale";
  bool operator==(const Seen&) const = default;
  friend void PrintTo(const Seen& s, std::ostream* out) {
    *out << "page \"" << s.page.data << "\", headers \"" << s.headers << "\", cookies \""
         << s.cookies << "\"";
  }
};

Seen plainFetch(const std::string& url) {
  Seen seen;
  FetchPageOptions options;
  options.responseHeaders = &seen.headers;
  seen.page = fetchPage(url, options);
  seen.cookies = "";
  return seen;
}

Seen timedFetch(const std::string& url) {
  Seen seen;
  Text u = url;
  FetchTimedOptions options;
  options.responseHeaders = &seen.headers;
  options.newCookies = &seen.cookies;
  seen.page = fetchPageTimed(u, options);
  return seen;
}

TEST_F(RequestLogTest, ControlBytesInUrlsAreRefusedByBothClients) {
  RecordingServer server(
      [](const RecordedRequest&) { return Reply{httpReply("200 OK", "", "x")}; });
  std::string unreachable = "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/q/k1";
  struct Case {
    const char* client;
    std::function<Seen(const std::string&)> fetch;
    std::string tail;
  };
  const std::vector<Case> cases = {
      {"plain", plainFetch, "/q/k1\r\nX-Injected: yes"},
      {"plain", plainFetch, "/q/k1\nCookie: forged=1"},
      {"plain", plainFetch, "/q/\x7f"},
      {"timed", timedFetch, "/q/k1\r\nX-Injected: yes"},
      {"timed", timedFetch, "/q/k1\rReferer: forged"},
      {"timed", timedFetch, std::string("/q/k1\0x", 7)},
  };
  for (const Case& c : cases) {
    Seen refused = c.fetch(server.url(c.tail));
    // The caller sees what an unreachable host gives it.
    EXPECT_EQ(refused, c.fetch(unreachable)) << c.client;
    std::vector<RequestRecord> records = takeRecords();
    ASSERT_EQ(records.size(), 2u) << c.client;
    EXPECT_EQ(records[0].error, "refused: control byte in URL") << c.client;
    EXPECT_TRUE(records[0].networkFailure) << c.client;
  }
  EXPECT_THAT(server.requests(), IsEmpty());
}

TEST_F(RequestLogTest, EachRequestIsReportedOnceWithItsOutcome) {
  RecordingServer server([](const RecordedRequest& r) {
    if (r.requestLine().find(" /silent ") != std::string::npos) {
      Reply silent;
      silent.neverAnswer = true;
      return silent;
    }
    if (r.requestLine().find(" /missing ") != std::string::npos)
      return Reply{httpReply("404 Not Found", "", "gone")};
    return Reply{httpReply("200 OK", "", "hello")};
  });
  std::string refused = "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/";
  Text timedMissing = server.url("/missing"), timedSilent = server.url("/silent");
  FetchPageOptions oneSecond;
  oneSecond.timeoutSeconds = 1;
  FetchTimedOptions timedOneSecond;
  timedOneSecond.timeoutSeconds = 1;
  timedOneSecond.method = TimedMethod::Post;
  struct Case {
    std::function<void()> fetch;
    std::string method, url;
    int status;
    std::uint64_t bytes;
    bool networkFailure;
    ::testing::Matcher<std::string> error;
  };
  const std::vector<Case> cases = {
      {[&] { fetchPage(server.url("/ok")); }, "GET", server.url("/ok"), 200, 5, false, IsEmpty()},
      {[&] { fetchPageTimed(timedMissing); }, "GET", server.url("/missing"), 404, 4, false,
       IsEmpty()},
      {[&] { fetchPage(refused); }, "GET", refused, 0, 0, true, HasSubstr("Failed to connect")},
      {[&] { fetchPage(server.url("/silent"), oneSecond); }, "GET", server.url("/silent"), 0, 0,
       true, "time-out"},
      {[&] { fetchPageTimed(timedSilent, timedOneSecond); }, "POST", server.url("/silent"), 0, 0,
       true, "time-out"},
  };
  for (const Case& c : cases) {
    c.fetch();
    std::vector<RequestRecord> records = takeRecords();
    ASSERT_EQ(records.size(), 1u) << c.url;
    const RequestRecord& r = records[0];
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.url, c.url);
    EXPECT_EQ(r.status, c.status) << c.url;
    EXPECT_EQ(r.bytes, c.bytes) << c.url;
    EXPECT_EQ(r.networkFailure, c.networkFailure) << c.url;
    EXPECT_THAT(r.error, c.error) << c.url;
    EXPECT_GE(r.milliseconds, c.error.Matches("time-out") ? 1000 : 0) << c.url;
  }
  // The transfers abandoned at their time-outs end without a second report.
  EXPECT_TRUE(testing::requestThreadsEnd());
  EXPECT_THAT(takeRecords(), IsEmpty());
}

}  // namespace
}  // namespace qelvora
