// qelvora-ask end to end: the real program against qelvora-sites on a free loopback port, with
// --instant so that no answer waits for the clock. Exit codes, the exact transcripts on standard
// output, the GBK output and the related picture.
#include <fcntl.h>
#include <gd.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/recording_server.h"
#include "tests/support/run_program.h"
#include "tests/support/sites_process.h"
#include "web/encoding.h"

namespace {

namespace fs = std::filesystem;
using qelvora::testing::Result;
using qelvora::testing::run;

// Runs program with args with its standard output on a pseudo-terminal (standard error goes to
// /dev/null); returns what the terminal received.
Result runOnTerminal(const std::string& program, const std::vector<std::string>& args) {
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Result r;
  if (pid < 0) return r;
  char buf[4096];
  for (;;) {
    ssize_t n = read(terminal, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has ended and closed its side
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

class Ask : public ::testing::Test {
 protected:
  // One sites server for the whole suite, on a port the system picks.
  static void SetUpTestSuite() {
    sites_ = std::make_unique<qelvora::testing::SitesProcess>(QELVORA_SITES_PROGRAM);
    ASSERT_TRUE(sites_->running()) << "qelvora-sites did not start";
    scratch_ = fs::temp_directory_path() / ("qelvora_ask_" + std::to_string(getpid()));
    fs::create_directories(scratch_);
  }
  static void TearDownTestSuite() {
    sites_.reset();
    fs::remove_all(scratch_);
  }

  static std::string host() { return sites_->host(); }

  // qelvora-ask with every host on the sites server, instant, and a cookie file of the test's.
  static Result ask(std::vector<std::string> args, const std::string& input = {}) {
    std::vector<std::string> all = {"--instant",
                                    "--time-host",
                                    host(),
                                    "--source1-host",
                                    host(),
                                    "--source2-host",
                                    host(),
                                    "--source3-host",
                                    host(),
                                    "--cookie-file",
                                    (scratch_ / "cookies.txt").string()};
    all.insert(all.end(), args.begin(), args.end());
    return run(QELVORA_ASK_PROGRAM, all, input);
  }

  static inline std::unique_ptr<qelvora::testing::SitesProcess> sites_;
  static inline fs::path scratch_;
};

TEST_F(Ask, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
  };
  const std::vector<Case> cases = {
      {{"--bogus", "北京时间"}, ""},
      {{"--source", "4", "北京时间"}, ""},
      {{"--source", "0", "北京时间"}, ""},
      {{"--source"}, ""},
      {{}, ""},
      {{"one", "two"}, ""},
      {{"\xe5\x8c\x97\xff"}, ""},
      {{"-"}, "\xe5\x8c\x97\xff\n"},
      {{"--time-host", "a/b", "q"}, ""},
  };
  for (const Case& c : cases) {
    Result r = run(QELVORA_ASK_PROGRAM, c.args, c.input);
    std::string what = c.args.empty() ? "(nothing)" : c.args.front();
    EXPECT_EQ(r.exitCode, 2) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_NE(r.err.find("usage: qelvora-ask"), std::string::npos) << what;
  }
  Result help = run(QELVORA_ASK_PROGRAM, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--picture-out"), std::string::npos);
}

const std::string kMen =
    "首先,我们清楚的知道男人和女人在一起是为了爱和满足男人的好色之心。\r\n 那么: 男人=爱+色 "
    "\r\n其次,我们都知道 爱神丘比特 是个天使 因此: \r\n爱=丘比特=天使 \r\n所以: 男人=天使+色 "
    "\r\n此外,我们听过禅曰:色即是空\r\n即色=0 \r\n因此得出: 男人=天使+0 \r\n所以,得出一个无法争辩"
    "的事实: \r\n男人=天使";

TEST_F(Ask, Transcripts) {
  const std::string shot = "http://" + host() + "/shot/starview.png";
  const std::string download = "http://" + host() + "/down/starview.zip";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"--source", "1", "天空为什么是蓝色的"},
       "",
       "问：天空为什么是蓝色的_"
       "\r\n答：\r\n阳光看起来是白色，其实混合了各种颜色的光。光穿过大气时会被"
       "空气分子散射，波长越短散射得越厉害。\r\n\r\n蓝光的波长比红光短得多，被散射到四面八方，所以"
       "我"
       "们抬头看哪里都是蓝的。\r\n傍晚阳光斜射，要穿过更厚的大气，蓝光在半路就散掉了，剩下的红光和"
       "橙"
       "光让晚霞显得通红。\r\n"},
      {{"--source", "2", "彩虹是怎样形成的"},
       "",
       "问：彩虹是怎样形成的\r\n答：雨后空中飘着许多小水滴，每一颗都像一个小小的三棱镜。\n阳光射进"
       "水"
       "滴时发生折射，在水滴背面反射一次，再折射出来。不同颜色的光折射的角度不一样，白光就被分成了"
       "红"
       "橙黄绿蓝靛紫。\n所以只有背对太阳、前方有雨幕的时候才能看到彩虹。"},
      {{"--source=3", "电脑上用什么看图软件好"},
       "",
       "问：星图看图\r\n答：\r\n星图看图是一款小巧快速的图片浏览工具，双击图片即可打开，几乎不用等"
       "待"
       "。\r\n\r\n支持常见的十几种图片格式，能缩放、旋转、全屏播放幻灯片，还能批量改名和转换格式。"
       "\r\n"
       "界面简洁，没有广告，老电脑上也跑得很流畅。\r\n\r\n软件截图：" +
           shot + "\r\n下载地址：" + download},
      {{"--source", "2", "没有这个问题的答案吧"}, "", "对不起，您问的问题我还没有解答方法\r\n"},
      {{"男人是什么"}, "", "问：男人是什么？\r\n答：" + kMen},
      {{"--source", "3", "男人是什么？"}, "", "问：男人是什么？\r\n答：" + kMen},
      {{"-"}, "男人是什么\n", "问：男人是什么？\r\n答：" + kMen},
  };
  for (const Case& c : cases) {
    Result r = ask(c.args, c.input);
    std::string what = c.args.back();
    EXPECT_EQ(r.exitCode, 0) << what << "\n" << r.err;
    EXPECT_EQ(r.out, c.expected) << what;
    // Standard error is no terminal here: no busy text, no progress.
    EXPECT_EQ(r.err, "") << what;
  }
}

TEST_F(Ask, TimeAnswer) {
  Result r = ask({"北京时间"});
  EXPECT_EQ(r.exitCode, 0);
  std::regex shape("问：北京时间？\r\n答：现在是北京时间：\\d{4}年\\d{1,2}月\\d{1,2}日.*");
  EXPECT_TRUE(std::regex_match(r.out, shape)) << r.out;
  EXPECT_EQ(r.out.find("1970"), std::string::npos) << "the time page was not read: " << r.out;
}

TEST_F(Ask, GbkOutput) {
  for (auto args : {std::vector<std::string>{"男人是什么"},
                    std::vector<std::string>{"--source", "2", "彩虹是怎样形成的"}}) {
    Result utf8 = ask(args);
    args.insert(args.begin(), "--gbk");
    Result gbk = ask(args);
    EXPECT_EQ(gbk.exitCode, 0);
    ASSERT_FALSE(utf8.out.empty());
    EXPECT_EQ(gbk.out, qelvora::utf8ToGbk(utf8.out)) << args.back();
    EXPECT_NE(gbk.out, utf8.out);
  }
}

TEST_F(Ask, PictureOut) {
  // A software answer with a screenshot: the picture window's GIF lands in the file.
  const fs::path gif = scratch_ / "shot.gif";
  Result r = ask({"--source", "3", "--picture-out", gif.string(), "电脑上用什么看图软件好"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::ifstream in(gif, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(bytes.starts_with("GIF8")) << bytes.size() << " bytes";
  gdImagePtr im = gdImageCreateFromGifPtr(static_cast<int>(bytes.size()), bytes.data());
  ASSERT_NE(im, nullptr);
  EXPECT_EQ(gdImageSX(im), 520);
  EXPECT_EQ(gdImageSY(im), 340);
  gdImageDestroy(im);

  // No picture window after other answers: nothing is written.
  for (auto args : {std::vector<std::string>{"男人是什么"},
                    std::vector<std::string>{"--source", "1", "天空为什么是蓝色的"}}) {
    const fs::path none = scratch_ / "none.gif";
    args.insert(args.begin(), {"--picture-out", none.string()});
    Result other = ask(args);
    EXPECT_EQ(other.exitCode, 0);
    EXPECT_FALSE(fs::exists(none)) << args.back();
  }
}

// An answer that carries terminal control sequences (clear the screen, retitle the window) is
// shown harmlessly on a terminal and kept byte for byte in a pipe.
TEST_F(Ask, ControlBytesReachNoTerminal) {
  const std::string hostile = "A\x1b[2J\x1b]0;pwned\x07\x7f Z";
  qelvora::testing::RecordingServer site([&](const qelvora::testing::RecordedRequest& request) {
    const std::string page = request.requestLine().starts_with("GET /search/")
                                 ? "<a index=\"2\" aId=\"k1\" target=\"_blank\">"
                                 : "<html><meta charset=\"utf-8\"><title>Q360问答</title>"
                                   "<div class=\"resolved-cnt\">" +
                                       hostile + "</div><div class=\"end\">";
    return qelvora::testing::Reply{qelvora::testing::httpReply("200 OK", "", page)};
  });
  const std::vector<std::string> args = {"--instant",
                                         "--source1-host",
                                         site.hostPort(),
                                         "--cookie-file",
                                         (scratch_ / "cookies.txt").string(),
                                         "hostile"};
  Result piped = run(QELVORA_ASK_PROGRAM, args);
  EXPECT_EQ(piped.exitCode, 0);
  EXPECT_EQ(piped.out, "问：Q\r\n答：" + hostile);

  Result shown = runOnTerminal(QELVORA_ASK_PROGRAM, args);
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("答：A^[[2J^[]0;pwned^G^? Z"), std::string::npos) << shown.out;
  for (const char* raw : {"\x1b", "\x07", "\x7f"})
    EXPECT_EQ(shown.out.find(raw), std::string::npos) << "raw control bytes reached the terminal";
}

// Every host option takes a bracketed IPv6 literal: each source and the time answer through a
// sites server on ::1.
TEST_F(Ask, BracketedIpv6Hosts) {
  qelvora::testing::SitesProcess v6(QELVORA_SITES_PROGRAM, {"--listen", "::1", "--port", "0"});
  ASSERT_TRUE(v6.running()) << v6.errorOutput();
  const std::string h = "[::1]:" + std::to_string(v6.port());
  const std::pair<const char*, const char*> asks[] = {{"1", "天空为什么是蓝色的"},
                                                      {"2", "彩虹是怎样形成的"},
                                                      {"3", "电脑上用什么看图软件好"},
                                                      {"1", "北京时间"}};
  for (const auto& [source, question] : asks) {
    Result r = run(
        QELVORA_ASK_PROGRAM,
        {"--instant", "--time-host", h, "--source1-host", h, "--source2-host", h, "--source3-host",
         h, "--cookie-file", (scratch_ / "cookies.txt").string(), "--source", source, question});
    EXPECT_EQ(r.exitCode, 0) << question << r.err;
    EXPECT_TRUE(r.out.starts_with("问：")) << r.out;
    EXPECT_EQ(r.out.find("对不起"), std::string::npos) << question;
  }
}

// Cookies that cannot be saved are no success: here the lock beside the cookie file is a link
// to nowhere, which is never followed (nothing is created at its target).
TEST_F(Ask, UnsavedCookiesAreReported) {
  const fs::path dir = scratch_ / "unsaved";
  fs::create_directories(dir);
  fs::create_symlink(dir / "elsewhere", dir / "cookies.txt.lock");
  qelvora::testing::RecordingServer site([](const qelvora::testing::RecordedRequest&) {
    return qelvora::testing::Reply{
        qelvora::testing::httpReply("200 OK", "Set-Cookie: sid=1; path=/\r\n", "nothing")};
  });
  Result r = run(QELVORA_ASK_PROGRAM, {"--instant", "--source1-host", site.hostPort(),
                                       "--cookie-file", (dir / "cookies.txt").string(), "q"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("qelvora-ask: cookies not saved: the lock " +
                       (dir / "cookies.txt.lock").string() + " is a symbolic link"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  EXPECT_FALSE(fs::exists(dir / "cookies.txt"));
}

// A page that puts CR LF into the address of its answer page cannot forge a --verbose line.
TEST_F(Ask, VerboseLinesCannotBeForged) {
  const std::string forged = "GET http://x/q/trusted 200 4242 bytes 1 ms";
  qelvora::testing::RecordingServer site([&](const qelvora::testing::RecordedRequest&) {
    const std::string page = "<a index=\"2\" aId=\"k1\r\n" + forged + "\r\n\" target=\"_blank\">";
    return qelvora::testing::Reply{qelvora::testing::httpReply("200 OK", "", page)};
  });
  Result r =
      run(QELVORA_ASK_PROGRAM, {"--instant", "--verbose", "--source1-host", site.hostPort(),
                                "--cookie-file", (scratch_ / "cookies.txt").string(), "forge"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.err.find("\n" + forged), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/q/k1^M^J" + forged + "^M^J refused: control byte in URL"),
            std::string::npos)
      << r.err;
}

// A fetch that failed at the network level still gives the answer as typed, with exit status 3;
// --verbose tells each request's fate on standard error.
TEST_F(Ask, NetworkFailuresExitWithThree) {
  const std::vector<std::string> common = {"--instant", "--verbose", "--cookie-file",
                                           (scratch_ / "cookies.txt").string()};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    return run(QELVORA_ASK_PROGRAM, args);
  };

  // Nothing listens: both pages of source 1 fail to connect, and the no-answer reply is typed.
  const std::string closed = "127.0.0.1:" + std::to_string(qelvora::testing::closedPort());
  Result refused = with({"--source1-host", closed, "天空为什么是蓝色的"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.out, "对不起，您问的问题我还没有解答方法\r\n");
  EXPECT_NE(refused.err.find("GET http://" + closed + "/search/?q="), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("Couldn't connect"), std::string::npos) << refused.err;
  // Without --verbose one line says why, once however many pages failed.
  Result quiet =
      run(QELVORA_ASK_PROGRAM, {"--instant", "--cookie-file", (scratch_ / "cookies.txt").string(),
                                "--time-host", closed, "--source1-host", closed, "北京时间"});
  EXPECT_EQ(quiet.exitCode, 3);
  EXPECT_EQ(quiet.err, "qelvora-ask: nothing answers at " + closed +
                           "; start qelvora-sites (man qelvora-sites)\n");

  // A screenshot server that accepts and never answers: the picture, waited for with
  // --picture-out, runs out of its 10 s limit after the answer has been typed.
  qelvora::testing::RecordingServer silent([](const qelvora::testing::RecordedRequest&) {
    return qelvora::testing::Reply{{}, 0, true};
  });
  const std::string shot = "http://" + silent.hostPort() + "/shot.png";
  // The software site's detail page names the silent screenshot.
  qelvora::testing::RecordingServer detail([&](const qelvora::testing::RecordedRequest&) {
    const std::string page = qelvora::utf8ToGbk(
        "<span itemprop=\"name\">慢图</span><div id=\"rom_des\">说明</div>"
        "target=\"_blank\"><img src=\"" +
        shot + "\"></a>");
    return qelvora::testing::Reply{qelvora::testing::httpReply("200 OK", "", page)};
  });
  const std::string search =
      "<a href=\"/x\">x</a><a href=\"http://" + detail.hostPort() + "/detail\">";
  qelvora::testing::RecordingServer software([&](const qelvora::testing::RecordedRequest&) {
    return qelvora::testing::Reply{qelvora::testing::httpReply("200 OK", "", search)};
  });
  Result stalled = with({"--source", "3", "--source3-host", software.hostPort(), "--picture-out",
                         (scratch_ / "slow.gif").string(), "慢"});
  EXPECT_EQ(stalled.exitCode, 3);
  EXPECT_EQ(stalled.out, "问：慢图\r\n答：说明\r\n软件截图：" + shot + "\r\n下载地址：");
  EXPECT_NE(stalled.err.find("GET " + shot + " time-out 0 bytes"), std::string::npos)
      << stalled.err;
  EXPECT_EQ(stalled.err.find("nothing answers"), std::string::npos) << stalled.err;

  // And a whole answer: every request reported with its status, exit 0.
  Result fine = ask({"--verbose", "--source", "2", "彩虹是怎样形成的"});
  EXPECT_EQ(fine.exitCode, 0) << fine.err;
  EXPECT_NE(fine.err.find("GET http://" + host() + "/s/?w="), std::string::npos) << fine.err;
  EXPECT_NE(fine.err.find(" 200 "), std::string::npos) << fine.err;
}

}  // namespace
