// fetchPageTimed against recording servers on loopback: request shape, options, conversions,
// the overall limit, and a TLS server whose certificate nobody vouches for.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/text.h"
#include "tests/support/recording_server.h"
#include "web/cookie_store.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

using ::testing::ElementsAre;
using testing::httpReply;
using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

const std::string kAgentLine =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727; .NET "
    "CLR 3.0.04506.648; .NET CLR 3.5.21022)";
const std::string kAcceptLine =
    "Accept: image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, application/vnd.ms-powerpoint, "
    "application/msword, */*";

class FetchTimedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setCookieFilePath(::testing::TempDir() + "fetch_timed_cookies_" + std::to_string(getpid()));
  }
};

Reply okReply(const RecordedRequest&) {
  return {httpReply("200 OK", "", "hello")};
}

Reply silentReply(const RecordedRequest&) {
  Reply reply;
  reply.neverAnswer = true;
  return reply;
}

FetchTimedOptions withHeaders(Text headers) {
  FetchTimedOptions options;
  options.headers = std::move(headers);
  return options;
}

TEST_F(FetchTimedTest, DefaultRequestShape) {
  RecordingServer server(okReply);
  Text url = server.url("/pic.png");
  EXPECT_EQ(fetchPageTimed(url).data, "hello");
  ASSERT_EQ(server.requests().size(), 1u);
  RecordedRequest request = server.requests()[0];
  EXPECT_EQ(request.requestLine(), "GET /pic.png HTTP/1.1");
  EXPECT_THAT(request.headerLines(),
              ElementsAre("Host: " + server.hostPort(), kAgentLine, kAcceptLine, "Referer: " + url,
                          "Accept-Language: zh-cn"));
}

TEST_F(FetchTimedTest, UrlIsCompletedForTheCaller) {
  RecordingServer server(okReply);
  Text url = server.hostPort() + "/pic.png";
  EXPECT_EQ(fetchPageTimed(url).data, "hello");
  EXPECT_EQ(url, "http://" + server.hostPort() + "/pic.png");

  // Only a lower-case scheme counts; nothing is fetched with a zero limit.
  struct Case {
    Text given, completed;
  };
  for (const Case& c : std::vector<Case>{{"HTTP://h/x", "http://HTTP://h/x"},
                                         {"https://h/x", "https://h/x"},
                                         {"http://h/x", "http://h/x"}}) {
    Text u = c.given;
    FetchTimedOptions options;
    options.timeoutSeconds = 0;
    fetchPageTimed(u, options);
    EXPECT_EQ(u, c.completed);
  }
  Text blank = "  ";
  EXPECT_TRUE(fetchPageTimed(blank).empty());
  EXPECT_EQ(blank, "  ");
}

TEST_F(FetchTimedTest, ExtraHeadersShapeTheRequest) {
  struct Case {
    Text extra;
    std::vector<std::string> agent, accept, referer, language;
  };
  RecordingServer server(okReply);
  Text url = server.url("/");
  const std::vector<Case> cases = {
      {"User-Agent: Probe/1.0\r\n",
       {"User-Agent: Probe/1.0"},
       {kAcceptLine},
       {"Referer: " + url},
       {"Accept-Language: zh-cn"}},
      // The search is for "Accept" alone, so a language line also stands for the Accept line.
      {"Accept-Language: en\r\n", {kAgentLine}, {}, {"Referer: " + url}, {"Accept-Language: en"}},
      {"RefererNo\r\nX-A: 1\r\n", {kAgentLine}, {kAcceptLine}, {}, {"Accept-Language: zh-cn"}},
      {"Referer: http://own/\r\n",
       {kAgentLine},
       {kAcceptLine},
       {"Referer: http://own/"},
       {"Accept-Language: zh-cn"}},
  };
  for (const Case& c : cases) {
    Text u = url;
    EXPECT_EQ(fetchPageTimed(u, withHeaders(c.extra)).data, "hello");
    RecordedRequest request = server.requests().back();
    EXPECT_EQ(request.linesNamed("User-Agent"), c.agent) << c.extra;
    EXPECT_EQ(request.linesNamed("Accept"), c.accept) << c.extra;
    EXPECT_EQ(request.linesNamed("Referer"), c.referer) << c.extra;
    EXPECT_EQ(request.linesNamed("Accept-Language"), c.language) << c.extra;
    EXPECT_EQ(request.head.find("RefererNo"), std::string::npos);
  }
}

TEST_F(FetchTimedTest, PostAndCookieTextGoLastInTheHead) {
  RecordingServer server(okReply);
  Text url = server.url("/post");
  FetchTimedOptions options;
  options.method = TimedMethod::Post;
  options.postData = toBytes("a=1&b=2");
  options.cookies = "c=1";
  EXPECT_EQ(fetchPageTimed(url, options).data, "hello");
  RecordedRequest request = server.requests().back();
  EXPECT_EQ(request.requestLine(), "POST /post HTTP/1.1");
  EXPECT_EQ(request.body, "a=1&b=2");
  auto lines = request.headerLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(lines.end() - 3, lines.end()),
              ElementsAre("Content-Type: application/x-www-form-urlencoded", "Content-Length: 7",
                          "Cookie: c=1"));
}

TEST_F(FetchTimedTest, RedirectsFollowedUnlessTurnedOff) {
  RecordingServer server([](const RecordedRequest& r) -> Reply {
    if (r.requestLine() == "GET /old HTTP/1.1")
      return {httpReply("301 Moved Permanently", "Location: /new\r\n", "moved")};
    return {httpReply("200 OK", "", "new")};
  });
  Text url = server.url("/old");
  Text headers;
  FetchTimedOptions options;
  options.responseHeaders = &headers;
  EXPECT_EQ(fetchPageTimed(url, options).data, "new");
  EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  options.followRedirects = false;
  EXPECT_EQ(fetchPageTimed(url, options).data, "moved");
  EXPECT_EQ(headers.rfind("HTTP/1.1 301 Moved Permanently\r\n", 0), 0u);
}

TEST_F(FetchTimedTest, ConversionsTurnThePageIntoGbk) {
  const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文
  const std::string big5 = "\xC5\xE9";                  // a traditional character in Big5
  RecordingServer server([&](const RecordedRequest& r) -> Reply {
    return {
        httpReply("200 OK", "", r.requestLine().find("/big5") != std::string::npos ? big5 : utf8)};
  });
  Text url = server.url("/utf8");
  FetchTimedOptions options;
  options.conversion = PageConversion::Utf8ToGbk;
  EXPECT_EQ(fetchPageTimed(url, options).data, utf8ToGbk(utf8));
  EXPECT_EQ(fetchPageTimed(url, options).data, "\xD6\xD0\xCE\xC4");
  options.conversion = PageConversion::None;
  EXPECT_EQ(fetchPageTimed(url, options).data, utf8);
  url = server.url("/big5");
  options.conversion = PageConversion::Big5ToSimplifiedGbk;
  ASSERT_NE(big5ToSimplified(big5), big5);
  EXPECT_EQ(fetchPageTimed(url, options).data, big5ToSimplified(big5));
}

TEST_F(FetchTimedTest, HttpsInTheQueryDoesNotMakeARequestSecure) {
  RecordingServer server(okReply);
  Text url = server.url("/go?to=https://elsewhere/");
  EXPECT_EQ(fetchPageTimed(url).data, "hello");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].requestLine(), "GET /go?to=https://elsewhere/ HTTP/1.1");
}

TEST_F(FetchTimedTest, LimitReachedGivesTheTimeOutMessage) {
  const Bytes message = toBytes(utf8ToGbk(
      "超时返回，指定网站不能访问，或者你的网络出现问题，你可以把参数中的＂超时返回＂的值设置长一些"
      "。"));
  EXPECT_EQ(toBytes(timedOutMessage()), message);

  RecordingServer server(silentReply);
  Text url = server.url("/");
  Text headers = "unchanged", cookies = "unchanged";
  FetchTimedOptions options;
  options.timeoutSeconds = 1;
  options.responseHeaders = &headers;
  options.newCookies = &cookies;
  EXPECT_EQ(fetchPageTimed(url, options), message);
  EXPECT_EQ(headers, "unchanged");
  EXPECT_EQ(cookies, "unchanged");
  EXPECT_TRUE(testing::requestThreadsEnd());

  // A zero limit times out at once, before anything is asked.
  std::size_t before = server.requests().size();
  options.timeoutSeconds = 0;
  EXPECT_EQ(fetchPageTimed(url, options), message);
  EXPECT_EQ(server.requests().size(), before);
}

TEST_F(FetchTimedTest, HostileServersGiveAnEmptyPage) {
  struct Case {
    const char* name;
    Reply reply;
  };
  const std::vector<Case> cases = {
      {"malformed status line", {"HTTQ/9 what\r\n\r\n"}},
      {"over 64 MiB", {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 100u << 20}},
  };
  for (const Case& c : cases) {
    RecordingServer server([&](const RecordedRequest&) { return c.reply; });
    Text url = server.url("/");
    Text headers = "unchanged";
    FetchTimedOptions options;
    options.responseHeaders = &headers;
    EXPECT_TRUE(fetchPageTimed(url, options).empty()) << c.name;
  }
  RecordingServer loop([](const RecordedRequest&) -> Reply {
    return {httpReply("302 Found", "Location: /again\r\n", "")};
  });
  Text url = loop.url("/");
  EXPECT_TRUE(fetchPageTimed(url).empty());
}

// A TLS server on 127.0.0.1:443 with a self-signed certificate made for this test.
class SelfSignedServer {
 public:
  SelfSignedServer() {
    dir_ = ::testing::TempDir() + "qelvora_tls_" + std::to_string(getpid());
    std::string make = "mkdir -p " + dir_ +
                       " && openssl req -x509 -newkey rsa:2048 -nodes -days 1 "
                       "-subj /CN=127.0.0.1 -keyout " +
                       dir_ + "/key.pem -out " + dir_ + "/cert.pem >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) return;
    // Prepared before the fork: the child only redirects its output and execs.
    std::string cert = dir_ + "/cert.pem", key = dir_ + "/key.pem";
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execlp("openssl", "openssl", "s_server", "-quiet", "-www", "-accept", "127.0.0.1:443",
             "-cert", cert.c_str(), "-key", key.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it accepts connections.
    for (int i = 0; i < 200 && !ready_; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(443);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ready_ = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~SelfSignedServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool ready() const { return ready_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST_F(FetchTimedTest, UnverifiedCertificateFailsTheFetch) {
  // Port 443 whatever the URL names: the secure port is the client's choice.
  SelfSignedServer tls;
  if (!tls.ready()) GTEST_SKIP() << "cannot run a TLS server on 127.0.0.1:443 here";
  Text url = "https://127.0.0.1:8443/";
  Text headers;
  FetchTimedOptions options;
  options.timeoutSeconds = 30;
  options.responseHeaders = &headers;
  EXPECT_TRUE(fetchPageTimed(url, options).empty());
  EXPECT_EQ(headers, "");
}

}  // namespace
}  // namespace qelvora
