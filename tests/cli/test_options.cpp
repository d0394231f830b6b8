// The command line of qelvora-ask: what is accepted, what is refused and why.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qelvora::cli {
namespace {

using Args = std::vector<std::string>;

TEST(AskOptions, Accepted) {
  struct Case {
    Args args;
    std::function<void(const AskOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"北京时间"},
       [](const AskOptions& o) {
         EXPECT_EQ(o.question, "北京时间");
         EXPECT_EQ(o.source, 1);
         EXPECT_EQ(o.speed, "40");
         EXPECT_FALSE(o.instant || o.gbk || o.setClock || o.timeHost || o.pictureOut);
       }},
      {{"--source", "3", "q"}, [](const AskOptions& o) { EXPECT_EQ(o.source, 3); }},
      {{"q", "--source=2"}, [](const AskOptions& o) { EXPECT_EQ(o.source, 2); }},
      {{"--speed", "１０", "q"}, [](const AskOptions& o) { EXPECT_EQ(o.speed, "１０"); }},
      {{"--instant", "--gbk", "--set-clock", "q"},
       [](const AskOptions& o) { EXPECT_TRUE(o.instant && o.gbk && o.setClock); }},
      {{"--time-host", "127.0.0.1:9", "--source1-host=a.example", "--source2-host", "[::1]:80",
        "--source3-host", "h:65535", "q"},
       [](const AskOptions& o) {
         EXPECT_EQ(*o.timeHost, "127.0.0.1:9");
         EXPECT_EQ(*o.source1Host, "a.example");
         EXPECT_EQ(*o.source2Host, "[::1]:80");
         EXPECT_EQ(*o.source3Host, "h:65535");
       }},
      {{"--cookie-file", "/tmp/c", "--picture-out=/tmp/p.gif", "q"},
       [](const AskOptions& o) {
         EXPECT_EQ(*o.cookieFile, "/tmp/c");
         EXPECT_EQ(*o.pictureOut, "/tmp/p.gif");
       }},
      {{"-"}, [](const AskOptions& o) { EXPECT_EQ(o.question, "-"); }},
      {{"--", "--source"}, [](const AskOptions& o) { EXPECT_EQ(o.question, "--source"); }},
      {{""}, [](const AskOptions& o) { EXPECT_EQ(o.question, ""); }},
      {{"--help"}, [](const AskOptions& o) { EXPECT_TRUE(o.help); }},
  };
  for (const Case& c : cases) {
    ParsedOptions p = parseAskOptions(c.args);
    ASSERT_TRUE(p.ok) << c.args.front() << ": " << p.error;
    c.check(p.options);
  }
}

TEST(AskOptions, Refused) {
  const std::vector<Args> cases = {
      {},
      {"--bogus", "q"},
      {"-x", "q"},
      {"--source", "4", "q"},
      {"--source", "0", "q"},
      {"--source", "1.0", "q"},
      {"--source", " 2", "q"},
      {"q", "--source"},
      {"--speed"},
      {"--speed", "\xff", "q"},
      {"--time-host", "", "q"},
      {"--time-host", "a/b", "q"},
      {"--source1-host", "h:0", "q"},
      {"--source2-host", "h:65536", "q"},
      {"--source3-host", "h:", "q"},
      {"--source3-host", "user@h", "q"},
      {"--time-host", "::1", "q"},
      {"--time-host", "[::1", "q"},
      {"--time-host", "[::1]x", "q"},
      {"--time-host", "[::1]:", "q"},
      {"--time-host", "[host]", "q"},
      {"--time-host", "h]:80", "q"},
      {"--cookie-file=", "q"},
      {"--gbk=yes", "q"},
      {"one", "two"},
      {"\xe5\x8c\x97\xff"},
      {"\xc0\xaf"},
      {"\xed\xa0\x80"},
      {"\xf4\x90\x80\x80"},
      {"\xe5\x8c"},
  };
  for (const Args& args : cases) {
    ParsedOptions p = parseAskOptions(args);
    EXPECT_FALSE(p.ok) << (args.empty() ? "(nothing)" : args.front());
    EXPECT_FALSE(p.error.empty());
  }
}

TEST(AskOptions, Utf8AndInput) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("abc 北京时间？ \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
  EXPECT_FALSE(isValidUtf8("\x80"));
  EXPECT_FALSE(isValidUtf8("\xe0\x80\xaf"));  // overlong slash
  EXPECT_EQ(questionFromInput("北京时间\n"), "北京时间");
  EXPECT_EQ(questionFromInput("北京时间\r\n"), "北京时间");
  EXPECT_EQ(questionFromInput("a\n\n"), "a\n");
  EXPECT_EQ(questionFromInput("a "), "a ");
  EXPECT_EQ(questionFromInput(""), "");
}

}  // namespace
}  // namespace qelvora::cli
