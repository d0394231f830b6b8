// The cookie store shared by both fetch clients: cookies set by a response go out with later
// requests to the same host, survive into a new process through the cookie file, and a caller's own
// cookie text replaces them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/web/support/recording_server.h"
#include "web/cookie_store.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

using ::testing::HasSubstr;
using testing::httpReply;
using testing::RecordedRequest;
using testing::RecordingServer;
using testing::Reply;

// Answers /set-<name> with that Set-Cookie header block, everything else with a plain page.
Reply cookieSetter(const RecordedRequest& r) {
  std::string line = r.requestLine();
  if (line.find(" /set-two ") != std::string::npos)
    return {httpReply("200 OK", "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2; path=/\r\n", "set")};
  if (line.find(" /set-sid ") != std::string::npos)
    return {httpReply("200 OK", "Set-Cookie: sid=abc; path=/\r\n", "set")};
  if (line.find(" /set-garbage ") != std::string::npos)
    return {httpReply("200 OK",
                      "Set-Cookie: \r\nSet-Cookie: =x\r\nSet-Cookie: ;;;\r\nSet-Cookie: novalue\r\n"
                      "Set-Cookie: \t\x01\xff=\r\nSet-Cookie: good=yes\r\n",
                      "set")};
  return {httpReply("200 OK", "", "page")};
}

std::string cookieLine(const RecordedRequest& r) {
  auto lines = r.linesNamed("Cookie");
  std::string joined;
  for (const std::string& line : lines) joined += line + "|";
  return joined;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CookieTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh file per test: the store then holds only what the test puts there.
    path_ = ::testing::TempDir() + "qelvora_cookies_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    unlink(path_.c_str());
    setCookieFilePath(path_);
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(CookieTest, CookiesSetByAResponseGoWithLaterRequestsOfBothClients) {
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-sid"));
  fetchPage(server.url("/next"));
  EXPECT_EQ(cookieLine(server.requests().back()), "Cookie: sid=abc|");
  Text url = server.url("/timed");
  fetchPageTimed(url);
  EXPECT_EQ(cookieLine(server.requests().back()), "Cookie: sid=abc|");

  // Persisted at once, readable by the owner only.
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THAT(readFile(path_), HasSubstr("\tsid\tabc"));
  EXPECT_EQ(cookieFilePath(), path_);
}

TEST_F(CookieTest, CallersCookieTextReplacesStoredCookiesAndReceivedOnesAreKept) {
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-sid"));
  Text url = server.url("/set-two");
  Text newCookies, headers;
  FetchTimedOptions options;
  options.cookies = "c=1";
  options.newCookies = &newCookies;
  options.responseHeaders = &headers;
  EXPECT_EQ(fetchPageTimed(url, options).data, "set");
  EXPECT_EQ(cookieLine(server.requests().back()), "Cookie: c=1|");
  EXPECT_EQ(newCookies, "a=1;b=2;");
  EXPECT_THAT(headers, HasSubstr("Set-Cookie: a=1; path=/\r\n"));

  // Stored for the host all the same: the next plain request carries all three.
  fetchPage(server.url("/after"));
  std::string sent = cookieLine(server.requests().back());
  EXPECT_THAT(sent, HasSubstr("sid=abc"));
  EXPECT_THAT(sent, HasSubstr("a=1"));
  EXPECT_THAT(sent, HasSubstr("b=2"));
  EXPECT_THAT(readFile(path_), HasSubstr("\ta\t1"));
}

TEST_F(CookieTest, GarbageSetCookieLinesAreSurvived) {
  RecordingServer server(cookieSetter);
  Text url = server.url("/set-garbage");
  Text newCookies;
  FetchTimedOptions options;
  options.newCookies = &newCookies;
  EXPECT_EQ(fetchPageTimed(url, options).data, "set");
  EXPECT_THAT(newCookies, HasSubstr("good=yes;"));
  // The same lines with a cookie text of the caller's go through the explicit store.
  url = server.url("/set-garbage");
  options.cookies = "c=1";
  EXPECT_EQ(fetchPageTimed(url, options).data, "set");
  fetchPage(server.url("/after"));
  EXPECT_THAT(cookieLine(server.requests().back()), HasSubstr("good=yes"));
}

TEST_F(CookieTest, CookieFileCarriesCookiesIntoANewProcess) {
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-sid"));
  // A new process on the same file: only the file can tell it about sid. Everything it needs is
  // prepared before the fork, as the child may only exec.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("QELVORA_COOKIE_CHILD_FILE=" + path_);
  env.push_back("QELVORA_COOKIE_CHILD_URL=" + server.url("/child"));
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    execle("/proc/self/exe", "child", "--gtest_filter=CookieChild.*", static_cast<char*>(nullptr),
           envp.data());
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].requestLine(), "GET /child HTTP/1.1");
  EXPECT_EQ(cookieLine(requests[1]), "Cookie: sid=abc|");
}

// Runs only as the new process of the test above.
TEST(CookieChild, FetchesWithTheCookieFile) {
  const char* file = std::getenv("QELVORA_COOKIE_CHILD_FILE");
  const char* url = std::getenv("QELVORA_COOKIE_CHILD_URL");
  if (!file || !url) GTEST_SKIP() << "started by CookieFileCarriesCookiesIntoANewProcess";
  setCookieFilePath(file);
  EXPECT_EQ(fetchPage(url).data, "page");
}

}  // namespace
}  // namespace qelvora
