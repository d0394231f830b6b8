// The window program's command line, run as a user would: the answers that need no window system,
// and that without arguments (on the offscreen platform) the window opens and keeps running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace {

using qelvora::testing::run;

TEST(CommandLine, AnswersWithoutAWindow) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // a piece of standard output ("" for none at all)
    std::string err;  // a piece of standard error ("" for none at all)
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, "qelvora " QELVORA_VERSION "\n", ""},
      {{"-platform", "offscreen", "--version"}, 0, "qelvora " QELVORA_VERSION "\n", ""},
      {{"--help"}, 0, "usage: qelvora", ""},
      {{"-h"}, 0, "usage: qelvora", ""},
      {{"--bogus"}, 2, "", "usage: qelvora"},
      {{"question"}, 2, "", "usage: qelvora"},
      {{"--help"}, 0, "--source3-host H", ""},
      {{"--time-host", "a/b"}, 2, "", "--time-host must be a host or host:port: a/b"},
      {{"--source2-host=[::1"}, 2, "", "--source2-host must be a host"},
      {{"--source1-host", "127.0.0.1:0"}, 2, "", "--source1-host must be a host"},
      {{"--source3-host"}, 2, "", "usage: qelvora"},
  };
  for (const Case& c : cases) {
    const auto r = run(QELVORA_WINDOW_PROGRAM, c.args);
    const std::string what = c.args.back();
    EXPECT_EQ(r.exitCode, c.exitCode) << what;
    EXPECT_EQ(r.out.empty(), c.out.empty()) << what << ": " << r.out;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    EXPECT_EQ(r.err.empty(), c.err.empty()) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
  }
  // Without arguments the window opens and runs until it is closed: here, until timeout ends it.
  const auto window =
      run("/usr/bin/timeout", {"2", QELVORA_WINDOW_PROGRAM, "-platform", "offscreen"});
  EXPECT_EQ(window.exitCode, 124) << window.err;
  // Hosts in the accepted forms open the window as well.
  const auto hosted =
      run("/usr/bin/timeout",
          {"2", QELVORA_WINDOW_PROGRAM, "-platform", "offscreen", "--time-host=[::1]:8750",
           "--source1-host", "localhost", "--source2-host", "127.0.0.1:1"});
  EXPECT_EQ(hosted.exitCode, 124) << hosted.err;
}

}  // namespace
