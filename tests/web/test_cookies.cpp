// The cookie store shared by both fetch clients: cookies set by a response go out with later
// requests to the same host, survive into a new process through the cookie file, and a caller's own
// cookie text replaces them. The file is read strictly, bounded, and shared by processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/recording_server.h"
#include "web/cookie_file.h"
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
  std::string path = line.substr(line.find(' ') + 1);
  path = path.substr(0, path.find(' '));
  if (path.rfind("/set-n", 0) == 0)  // one cookie named after the rest of the path
    return {httpReply("200 OK", "Set-Cookie: " + path.substr(5) + "=v; path=/\r\n", "page")};
  if (path.rfind("/set-batch", 0) == 0) {  // batch k: cookies c(30k) ... c(30k+29), in order
    int first = 30 * std::stoi(path.substr(10));
    std::string headers;
    for (int i = first; i < first + 30; ++i)
      headers += "Set-Cookie: c" + std::to_string(i) + "=" + std::to_string(i) + "; path=/\r\n";
    return {httpReply("200 OK", headers, "page")};
  }
  if (path.rfind("/set-long", 0) == 0) {  // 50 cookies with a Path the file cannot hold
    std::string headers;
    for (int i = 0; i < 50; ++i)
      headers += "Set-Cookie: " + path.substr(9) + "_" + std::to_string(i) + "=1; path=/" +
                 std::string(1100, 'p') + "\r\n";
    return {httpReply("200 OK", headers, "page")};
  }
  if (line.find(" /set-two ") != std::string::npos)
    return {httpReply("200 OK", "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2; path=/\r\n", "set")};
  if (line.find(" /set-sid ") != std::string::npos)
    return {httpReply("200 OK", "Set-Cookie: sid=abc; path=/\r\n", "set")};
  if (line.find(" /set-garbage ") != std::string::npos)
    return {httpReply("200 OK",
                      "Set-Cookie: \r\nSet-Cookie: =x\r\nSet-Cookie: ;;;\r\nSet-Cookie: novalue\r\n"
                      "Set-Cookie: \t\x01\xff=\r\nSet-Cookie: good=yes\r\n"
                      "Set-Cookie: far=1; Max-Age=99999999999999999999999\r\n",
                      "set")};
  return {httpReply("200 OK", "", "page")};
}

std::string cookieLine(const RecordedRequest& r) {
  auto lines = r.linesNamed("Cookie");
  std::string joined;
  for (const std::string& line : lines) joined += line + "|";
  return joined;
}

// The name=value pairs of the request's Cookie line, sorted.
std::vector<std::string> sentPairs(const RecordedRequest& r) {
  std::vector<std::string> pairs;
  for (const std::string& line : r.linesNamed("Cookie")) {
    std::string rest = line.substr(line.find(':') + 2);
    for (std::size_t at = 0; at <= rest.size();) {
      auto semi = rest.find("; ", at);
      pairs.push_back(rest.substr(at, semi - at));
      at = semi == std::string::npos ? rest.size() + 1 : semi + 2;
    }
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The cookie lines of a file, in file order.
std::vector<std::string> cookieLines(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && (line[0] != '#' || line.rfind("#HttpOnly_", 0) == 0))
      lines.push_back(line);
  return lines;
}

// Runs CookieChild.FetchesWithTheCookieFile of this program as a new process on file and url.
pid_t startChild(const std::string& file, const std::string& url) {
  // Everything the child needs is prepared before the fork, as it may only exec.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back("QELVORA_COOKIE_CHILD_FILE=" + file);
  env.push_back("QELVORA_COOKIE_CHILD_URL=" + url);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    execle("/proc/self/exe", "child", "--gtest_filter=CookieChild.*", static_cast<char*>(nullptr),
           envp.data());
    _exit(127);
  }
  return child;
}

// The child's exit code once it has ended, within seconds; -1 (and killed) when it did not.
int childExitWithin(pid_t child, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 20; ++i) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

bool childSucceeded(pid_t child) {
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
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
  void TearDown() override {
    unlink(path_.c_str());
    unlink((path_ + ".lock").c_str());
  }
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
  // A lifetime beyond the clock's range is held at its end.
  EXPECT_THAT(cookieLine(server.requests().back()), HasSubstr("far=1"));
  EXPECT_THAT(readFile(path_), HasSubstr("\t9223372036854775807\tfar\t1"));
}

TEST_F(CookieTest, CookieFileCarriesCookiesIntoANewProcess) {
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-sid"));
  // A new process on the same file: only the file can tell it about sid.
  ASSERT_TRUE(childSucceeded(startChild(path_, server.url("/child"))));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].requestLine(), "GET /child HTTP/1.1");
  EXPECT_EQ(cookieLine(requests[1]), "Cookie: sid=abc|");
}

TEST_F(CookieTest, ProcessesSharingTheFileLoseNoCookie) {
  writeFile(path_, "other.example\tFALSE\t/\tFALSE\t0\tkeep\t1\n");
  constexpr int kProcesses = 20;
  std::atomic<int> asked{0};
  RecordingServer server([&](const RecordedRequest& r) {
    // Held until every process has asked, so that they all save at about the same time.
    ++asked;
    for (int i = 0; i < 1000 && asked < kProcesses; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cookieSetter(r);
  });
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i)
    children.push_back(startChild(path_, server.url("/set-n" + std::to_string(i))));
  for (pid_t child : children) EXPECT_TRUE(childSucceeded(child));

  std::vector<std::string> lines = cookieLines(readFile(path_));
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected{"other.example\tFALSE\t/\tFALSE\t0\tkeep\t1"};
  for (int i = 0; i < kProcesses; ++i)
    expected.push_back("127.0.0.1\tFALSE\t/\tFALSE\t0\tn" + std::to_string(i) + "\tv");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

TEST_F(CookieTest, StrictLoaderSkipsMalformedLinesAndKeepsTheRest) {
  const std::string h = "127.0.0.1\tFALSE\t/\tFALSE\t0\t";
  struct Case {
    std::string line;
    std::string kept;  // the line as the store keeps it; empty when it is skipped
  };
  const std::vector<Case> cases = {
      {h + "first\t1", h + "first\t1"},
      // libcurl's keywords and header lines: read as commands, they would wipe or forge cookies.
      {"ALL", ""},
      {"SESS", ""},
      {"FLUSH", ""},
      {"RELOAD", ""},
      {"Set-Cookie: evil=1; domain=127.0.0.1", ""},
      {"Set-Cookie:\tFALSE\t/\tFALSE\t0\tevil\t2", ""},
      {h + "nul\ta" + std::string(1, '\0') + "b", ""},
      {h + "esc\t\x1b]0;title\x07", ""},
      {h + "semi\tx; admin=1", ""},
      {h + "a=b\t1", ""},
      {h + "\tnoname", ""},
      {h + "six", ""},
      {h + "eight\t1\t2", ""},
      {"127.0.0.1\tMAYBE\t/\tFALSE\t0\tflag\t1", ""},
      {"127.0.0.1\tFALSE\trelative\tFALSE\t0\tpath\t1", ""},
      {"127.0.0.1\tFALSE\t/\tFALSE\t-5\tneg\t1", ""},
      {".\tTRUE\t/\tFALSE\t0\tlone\t1", ""},
      {"127.0.0.1\tFALSE\t/\tFALSE\t0\t__Secure-s\t1", ""},
      {h + std::string(4000, 'n') + "\t" + std::string(97, 'v'), ""},
      {h + std::string(4000, 'm') + "\t" + std::string(96, 'v'),
       h + std::string(4000, 'm') + "\t" + std::string(96, 'v')},
      {"..Example.COM\tTRUE\t/\tFALSE\t0\tdots\t1", ".example.com\tTRUE\t/\tFALSE\t0\tdots\t1"},
      {"127.0.0.1\tFALSE\t/\tFALSE\t99999999999999999999\tfar\t1",
       "127.0.0.1\tFALSE\t/\tFALSE\t9223372036854775807\tfar\t1"},
      {"#HttpOnly_" + h + "ho\t1\r", "#HttpOnly_" + h + "ho\t1"},
      {"# a comment\t", ""},
      {"", ""},
      {h + "empty\t", h + "empty\t"},
      {h + "last\t2", h + "last\t2"},
  };
  std::string file;
  std::vector<std::string> sent;
  for (const Case& c : cases) {
    std::vector<std::string> kept;
    for (const Cookie& cookie : parseCookieFile(c.line)) kept.push_back(formatCookieLine(cookie));
    EXPECT_EQ(kept, c.kept.empty() ? std::vector<std::string>{} : std::vector{c.kept})
        << c.line.substr(0, 60);
    file += c.line + "\n";
    if (c.kept.rfind("127.0.0.1", 0) == 0 || c.kept.rfind("#HttpOnly_127.0.0.1", 0) == 0) {
      std::string name = c.kept.substr(c.kept.rfind('\t', c.kept.rfind('\t') - 1) + 1);
      sent.push_back(name.replace(name.find('\t'), 1, "="));
    }
  }
  // The whole file through the store: only the kept cookies go out, the first one included.
  writeFile(path_, file);
  setCookieFilePath(path_);
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/next"));
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sentPairs(server.requests().back()), sent);
}

TEST(CookieFile, LoadSaveLoadIsAFixedPoint) {
  // Every mix of good and hostile fields: repeated slots in other letter cases, dots to normalise,
  // more cookies than a host may keep.
  const std::vector<std::string> domains = {"h",           ".h",  "..H", ".",
                                            "Set-Cookie:", "::1", "a b", "#HttpOnly_h"};
  const std::vector<std::string> flags = {"TRUE", "false", "yes"};
  const std::vector<std::string> paths = {"/", "/p/", "/p", "p"};
  const std::vector<std::string> expiries = {"0", "007", "99999999999999999999", "-1", ""};
  const std::vector<std::string> names = {"n", "N", "a=b", "", "__Host-n"};
  const std::vector<std::string> values = {"v", "", "x;y", "\x01", "\xD6\xD0"};
  std::string file;
  int lines = 0;
  for (const auto& d : domains)
    for (const auto& f : flags)
      for (const auto& p : paths)
        for (const auto& s : flags)
          for (const auto& e : expiries)
            for (const auto& n : names)
              for (const auto& v : values) {
                ++lines;
                file += d + "\t" + f + "\t" + p + "\t" + s + "\t" + e + "\t" + n +
                        std::to_string(lines % 40) + "\t" + v + (lines % 3 ? "\n" : "\r\n");
              }
  std::vector<Cookie> loaded = parseCookieFile(file);
  ASSERT_GT(loaded.size(), kMaxCookiesPerHost);
  std::string saved = formatCookieFile(loaded);
  EXPECT_EQ(parseCookieFile(saved), loaded);
  EXPECT_EQ(formatCookieFile(parseCookieFile(saved)), saved);
}

TEST_F(CookieTest, StoreKeepsTheNewestCookiesWithinItsBounds) {
  // 61 other hosts with 50 cookies each, oldest first: one host more than the store holds.
  std::string file;
  std::vector<std::string> expected;
  for (int host = 0; host < 61; ++host) {
    for (int i = 0; i < 50; ++i) {
      std::string line = "h" + std::to_string(host) + ".example\tFALSE\t/\tFALSE\t0\tk" +
                         std::to_string(i) + "\tv";
      file += line + "\n";
      if (host >= 2) expected.push_back(line);
    }
  }
  writeFile(path_, file);
  setCookieFilePath(path_);
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-batch0"));
  fetchPage(server.url("/set-batch1"));
  fetchPage(server.url("/next"));
  // This host keeps its newest 50; the store its newest 3,000, oldest first in the file.
  for (int i = 10; i < 60; ++i)
    expected.push_back("127.0.0.1\tFALSE\t/\tFALSE\t0\tc" + std::to_string(i) + "\t" +
                       std::to_string(i));
  EXPECT_EQ(cookieLines(readFile(path_)), expected);
  std::vector<std::string> sent = sentPairs(server.requests().back());
  EXPECT_EQ(sent.size(), 50u);
  EXPECT_THAT(sent, ::testing::Not(::testing::Contains("c9=9")));
}

TEST_F(CookieTest, TemporaryFileOfAKilledSaveGoesAtTheNextSave) {
  std::string stale = path_ + ".tmp.4242.7", unrelated = path_ + "-notes.tmp.1";
  writeFile(stale, "half a file");
  writeFile(unrelated, "notes");
  RecordingServer server(cookieSetter);
  fetchPage(server.url("/set-sid"));
  EXPECT_NE(access(stale.c_str(), F_OK), 0);
  EXPECT_EQ(access(unrelated.c_str(), F_OK), 0);
  EXPECT_THAT(readFile(path_), HasSubstr("\tsid\tabc"));
  unlink(unrelated.c_str());
}

// A cookie file that is a FIFO is neither read nor replaced, and stalls no fetch: opening it
// for reading would wait for a writer that never comes.
TEST_F(CookieTest, FifoInPlaceOfTheFileStallsNothing) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  RecordingServer server(cookieSetter);
  // Ends at once, telling that its cookie could not be saved.
  EXPECT_EQ(childExitWithin(startChild(path_, server.url("/set-nsid")), 20), 1);
  struct stat st {};
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A peer that holds the lock for 7 s (a real process) delays the save; no cookie is lost.
TEST_F(CookieTest, SaveWaitsForAPeerHoldingTheLock) {
  const std::string lock = path_ + ".lock";
  std::FILE* peer =
      popen(("exec flock -x '" + lock + "' sh -c 'echo held; exec sleep 7'").c_str(), "r");
  ASSERT_NE(peer, nullptr);
  char held[8] = "";
  ASSERT_NE(std::fgets(held, sizeof held, peer), nullptr);
  RecordingServer server(cookieSetter);
  EXPECT_EQ(childExitWithin(startChild(path_, server.url("/set-nsid")), 60), 0);
  pclose(peer);
  EXPECT_THAT(readFile(path_), HasSubstr("\tnsid\tv"));
}

// Cookies the file cannot hold (a Path over 1,024 bytes) are held to the store's bounds in
// memory too: never more than 50 go back to one host.
TEST_F(CookieTest, CookiesTheFileCannotHoldKeepTheBounds) {
  RecordingServer server(cookieSetter);
  for (const char* batch : {"/set-longa", "/set-longb", "/set-longc"}) fetchPage(server.url(batch));
  fetchPage(server.url("/" + std::string(1100, 'p') + "/x"));
  EXPECT_LE(sentPairs(server.requests().back()).size(), kMaxCookiesPerHost);
}

// Runs only as the new process of the test above.
TEST(CookieChild, FetchesWithTheCookieFile) {
  const char* file = std::getenv("QELVORA_COOKIE_CHILD_FILE");
  const char* url = std::getenv("QELVORA_COOKIE_CHILD_URL");
  if (!file || !url) GTEST_SKIP() << "started by CookieFileCarriesCookiesIntoANewProcess";
  setCookieFilePath(file);
  EXPECT_EQ(fetchPage(url).data, "page");
  // As a program does before it ends: a save left to the saver thread is waited for.
  EXPECT_EQ(saveCookiesNow(), "");
}

}  // namespace
}  // namespace qelvora
