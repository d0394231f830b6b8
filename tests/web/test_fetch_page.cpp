// fetchPage against a recording server on loopback: what goes on the wire, what comes back, and
// how it copes with servers that misbehave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/recording_server.h"
#include "web/cookie_store.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

using ::testing::ElementsAre;
using testing::httpReply;
using ::testing::IsEmpty;
using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

const std::string kAgentLine = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
const std::string kAcceptLine =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*";

class FetchPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Never the user's own cookie file.
    setCookieFilePath(::testing::TempDir() + "fetch_page_cookies_" + std::to_string(getpid()));
  }
};

FetchPageOptions headersInto(Text* headers) {
  FetchPageOptions options;
  options.responseHeaders = headers;
  return options;
}

FetchPageOptions methodOf(const char* method) {
  FetchPageOptions options;
  options.method = method;
  return options;
}

Reply okReply(const RecordedRequest&) {
  return {httpReply("200 OK", "", "hello")};
}

TEST_F(FetchPageTest, UrlAloneSendsGetWithTheDefaultLinesInOrder) {
  RecordingServer server(okReply);
  std::string url = server.url("/a/b?c=1");
  Text headers;
  FetchPageOptions options;
  options.responseHeaders = &headers;
  EXPECT_EQ(fetchPage(url, options).data, "hello");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(), "GET /a/b?c=1 HTTP/1.1");
  EXPECT_THAT(requests[0].headerLines(),
              ElementsAre("Host: " + server.hostPort(), kAgentLine, kAcceptLine, "Referer: " + url,
                          "Accept-Language: zh-cn"));
  EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << headers;
  EXPECT_EQ(headers.substr(headers.size() - 4), "\r\n\r\n");
}

TEST_F(FetchPageTest, UrlWithoutSchemeIsFetchedOverHttp) {
  RecordingServer server(okReply);
  EXPECT_EQ(fetchPage(server.hostPort() + "/p").data, "hello");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].requestLine(), "GET /p HTTP/1.1");
}

TEST_F(FetchPageTest, PathGoesOnTheRequestLineAsGivenWhereHttpAllowsIt) {
  struct Case {
    std::string path, requestLine;
  };
  const std::vector<Case> cases = {
      {"/a b?q=c d", "GET /a%20b?q=c%20d HTTP/1.1"},  // a request line cannot carry spaces
      {"/p?x=1&y=\"<>\"", "GET /p?x=1&y=\"<>\" HTTP/1.1"},
      {"/x#part", "GET /x HTTP/1.1"},  // the fragment stays with the client
  };
  RecordingServer server(okReply);
  for (const Case& c : cases) {
    EXPECT_EQ(fetchPage(server.url(c.path)).data, "hello") << c.path;
    EXPECT_EQ(server.requests().back().requestLine(), c.requestLine);
  }
}

TEST_F(FetchPageTest, ExtraHeadersDecideWhichDefaultsAreAdded) {
  struct Case {
    std::string extra;
    std::vector<std::string> accept, referer, language;
  };
  RecordingServer server(okReply);
  std::string url = server.url("/");
  const std::vector<Case> cases = {
      // Another letter case still counts as the Accept line.
      {"accept: text/html\r\n",
       {"accept: text/html"},
       {"Referer: " + url},
       {"Accept-Language: zh-cn"}},
      // "Accept-Language: " does not contain "Accept: ", so the default Accept stays.
      {"Accept-Language: en\r\n", {kAcceptLine}, {"Referer: " + url}, {"Accept-Language: en"}},
      {"Referer: http://elsewhere/\r\n",
       {kAcceptLine},
       {"Referer: http://elsewhere/"},
       {"Accept-Language: zh-cn"}},
  };
  for (const Case& c : cases) {
    FetchPageOptions options;
    options.headers = c.extra;
    fetchPage(url, options);
    RecordedRequest request = server.requests().back();
    EXPECT_EQ(request.linesNamed("Accept"), c.accept) << c.extra;
    EXPECT_EQ(request.linesNamed("Referer"), c.referer) << c.extra;
    EXPECT_EQ(request.linesNamed("Accept-Language"), c.language) << c.extra;
  }
}

TEST_F(FetchPageTest, PostSendsTheFormDataWithTheLinesBuiltForIt) {
  struct Case {
    std::string method, extra, data;
    std::vector<std::string> contentType, contentLength;
  };
  const std::string form = "Content-Type: application/x-www-form-urlencoded";
  const std::vector<Case> cases = {
      {"POST", "", "a=1", {form}, {"Content-Length: 3"}},
      {"post", "", "a=12", {form}, {"Content-Length: 4"}},
      // A length line of the caller's own gets a second one after it.
      {"POST", "Content-Length: 3\r\n", "a=1", {form}, {"Content-Length: 3", "Content-Length: 3"}},
      {"POST",
       "Content-Type: text/plain\r\n",
       "a=1",
       {"Content-Type: text/plain"},
       {"Content-Length: 3"}},
      {"POST", "", "", {}, {}},
  };
  RecordingServer server(okReply);
  for (const Case& c : cases) {
    FetchPageOptions options;
    options.method = c.method;
    options.headers = c.extra;
    options.postData = c.data;
    EXPECT_EQ(fetchPage(server.url("/form"), options).data, "hello") << c.method << c.extra;
    RecordedRequest request = server.requests().back();
    EXPECT_EQ(request.requestLine(), c.method + " /form HTTP/1.1");
    EXPECT_EQ(request.body, c.data);
    EXPECT_EQ(request.linesNamed("Content-Type"), c.contentType) << c.extra;
    EXPECT_EQ(request.linesNamed("Content-Length"), c.contentLength) << c.extra;
    EXPECT_THAT(request.linesNamed("Expect"), IsEmpty());
    if (!c.data.empty()) {
      // The two lines come last, after the defaults.
      auto lines = request.headerLines();
      EXPECT_EQ(lines.back(), c.contentLength.back());
    }
  }
}

TEST_F(FetchPageTest, VerbIsSentAsGivenAndOnlyGetAndPostAreAllowed) {
  RecordingServer server(okReply);
  EXPECT_EQ(fetchPage(server.url("/x"), methodOf("get")).data, "hello");
  EXPECT_EQ(server.requests().back().requestLine(), "get /x HTTP/1.1");
  Text headers = "stale";
  FetchPageOptions put;
  put.method = "PUT";
  put.responseHeaders = &headers;
  EXPECT_TRUE(fetchPage(server.url("/x"), put).empty());
  EXPECT_EQ(headers, "");
  EXPECT_EQ(server.requests().size(), 1u);  // nothing was sent for PUT
}

TEST_F(FetchPageTest, BodyComesBackByteForByteWhateverTheStatus) {
  const std::string body("a\0b\r\n\xff", 6);
  RecordingServer server([&](const RecordedRequest&) -> Reply {
    return {httpReply("404 Not Found", "X-Note: kept\r\n", body)};
  });
  Text headers;
  EXPECT_EQ(fetchPage(server.url("/"), headersInto(&headers)).data, body);
  EXPECT_EQ(headers.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(headers.find("X-Note: kept\r\n"), std::string::npos);
}

TEST_F(FetchPageTest, LongHeaderBlockIsReturnedWhole) {
  std::string longValue(5000, 'v');
  RecordingServer server([&](const RecordedRequest&) -> Reply {
    return {httpReply("200 OK", "X-Long: " + longValue + "\r\n", "ok")};
  });
  Text headers;
  EXPECT_EQ(fetchPage(server.url("/"), headersInto(&headers)).data, "ok");
  EXPECT_NE(headers.find("X-Long: " + longValue + "\r\n"), std::string::npos);
  EXPECT_GT(headers.size(), 5000u);
}

TEST_F(FetchPageTest, RedirectsAreFollowedToTheFinalResponse) {
  RecordingServer server([](const RecordedRequest& r) -> Reply {
    if (r.requestLine() == "GET /start HTTP/1.1")
      return {httpReply("302 Found", "Location: /end\r\n", "moved")};
    return {httpReply("200 OK", "", "final")};
  });
  Text headers;
  EXPECT_EQ(fetchPage(server.url("/start"), headersInto(&headers)).data, "final");
  EXPECT_EQ(headers.rfind("HTTP/1.1 200 OK", 0), 0u) << headers;
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(FetchPageTest, ProxyGetsTheRequestInAbsoluteForm) {
  RecordingServer proxy(okReply);
  FetchPageOptions options;
  options.proxy = proxy.hostPort();
  // The target port is closed: only the proxy can answer.
  std::string url = "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/via";
  EXPECT_EQ(fetchPage(url, options).data, "hello");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].requestLine(), "GET " + url + " HTTP/1.1");
}

TEST_F(FetchPageTest, CredentialsAnswerTheServersChallenge) {
  RecordingServer server([](const RecordedRequest& r) -> Reply {
    if (r.linesNamed("Authorization").empty())
      return {httpReply("401 Unauthorized", "WWW-Authenticate: Basic realm=\"r\"\r\n", "no")};
    return {httpReply("200 OK", "", "in")};
  });
  FetchPageOptions options;
  options.userName = "user";
  options.password = "pass";
  EXPECT_EQ(fetchPage(server.url("/"), options).data, "in");
  EXPECT_EQ(server.requests().back().linesNamed("Authorization"),
            std::vector<std::string>{"Authorization: Basic dXNlcjpwYXNz"});
  // Blank credentials count as none: the challenge is not answered.
  options.userName = " ";
  options.password = " ";
  EXPECT_EQ(fetchPage(server.url("/"), options).data, "no");
}

TEST_F(FetchPageTest, HostileServersGiveAnEmptyPage) {
  struct Case {
    const char* name;
    Reply reply;
  };
  const std::vector<Case> cases = {
      {"malformed status line", {"garbage\r\n\r\nbody"}},
      {"over 64 MiB", {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 100u << 20}},
      {"over 64 MiB announced",
       {"HTTP/1.1 200 OK\r\nContent-Length: 104857600\r\n\r\n", 100u << 20}},
      {"closes at once", {""}},
  };
  for (const Case& c : cases) {
    RecordingServer server([&](const RecordedRequest&) { return c.reply; });
    EXPECT_TRUE(fetchPage(server.url("/")).empty()) << c.name;
  }
  RecordingServer loop([](const RecordedRequest&) -> Reply {
    return {httpReply("302 Found", "Location: /again\r\n", "")};
  });
  EXPECT_TRUE(fetchPage(loop.url("/")).empty());
  EXPECT_TRUE(fetchPage("http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/").empty());
}

TEST_F(FetchPageTest, BodyCutShortReturnsWhatArrived) {
  RecordingServer server([](const RecordedRequest&) -> Reply {
    return {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789"};
  });
  EXPECT_EQ(fetchPage(server.url("/")).data, "0123456789");
}

TEST_F(FetchPageTest, SilentServerTimesOutWithAnEmptyPageAndTheThreadEnds) {
  RecordingServer server([](const RecordedRequest&) {
    Reply silent;
    silent.neverAnswer = true;
    return silent;
  });
  Text headers = "stale";
  FetchPageOptions options;
  options.timeoutSeconds = 1;
  options.responseHeaders = &headers;
  EXPECT_TRUE(fetchPage(server.url("/"), options).empty());
  EXPECT_EQ(headers, "");
  EXPECT_TRUE(testing::requestThreadsEnd());
}

}  // namespace
}  // namespace qelvora
