// The three answer sources against recording servers on loopback: the exact addresses they ask
// for, and what they make of complete and of odd pages.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "base/hosts.h"
#include "base/program_state.h"
#include "sources/source_exact.h"
#include "sources/source_fuzzy.h"
#include "sources/source_software.h"
#include "test_source_support.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::MemoryControls;
using testing::RecordingServer;
using testing::Reply;

Text gbk(std::string_view utf8) {
  return utf8ToGbk(utf8);
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

enum class Source { Fuzzy, Exact, Software };

struct Page {
  std::string pathPrefix;  // the first page whose prefix starts the request target answers it
  std::string body;        // "{HOST}" stands for the server's host:port
};

struct Case {
  const char* name;
  Source source;
  std::string question;  // UTF-8; sent to the box as GBK
  std::vector<Page> pages;
  std::vector<std::string> targets;   // exact request targets, in order
  std::string transcript;             // UTF-8 with "{HOST}"; the box after the clean-up
  bool answerEmpty = false;           // answerText as cut is empty (finishAnswer's no-answer test)
  std::string pictureAddress = {};    // 编辑框6 afterwards (software source)
  std::string downloadAddress = {};   // downloadAddress afterwards (software source)
  std::string changeQuestionTo = {};  // typed into the box while the first page is served
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class SourceTest : public ::testing::TestWithParam<Case> {};

TEST_P(SourceTest, AsksExactAddressesAndComposesTranscript) {
  const Case& c = GetParam();
  MemoryControls controls;
  ProgramState state;
  std::string host;
  bool firstServed = false;
  RecordingServer server([&](const std::string& target) {
    if (!firstServed && !c.changeQuestionTo.empty()) {
      controls.setContent(ctl::kQuestionBox, gbk(c.changeQuestionTo));
    }
    firstServed = true;
    for (const Page& p : c.pages) {
      if (target.rfind(p.pathPrefix, 0) == 0) {
        // The software site writes GBK, the question-and-answer sites UTF-8.
        std::string body = c.source == Source::Software ? gbk(p.body) : p.body;
        replaceAll(body, "{HOST}", host);
        return Reply{body};
      }
    }
    return Reply{"<html>nothing here</html>", 404};
  });
  host = server.host();
  hosts().source1 = hosts().source2 = hosts().source3 = host;

  controls.setContent(ctl::kQuestionBox, gbk(c.question));
  controls.setContent(ctl::kAnswerBox, "stale");
  controls.setContent(ctl::kPictureAddressBox, "old picture");
  state.downloadAddress = "old download";
  int finished = 0;
  AnswerSession session{controls, state, {}, {}, [&] { ++finished; }};
  switch (c.source) {
    case Source::Fuzzy:
      askFuzzySource(session);
      break;
    case Source::Exact:
      askExactSource(session);
      break;
    case Source::Software:
      askSoftwareSource(session);
      break;
  }

  EXPECT_EQ(finished, 1);
  EXPECT_EQ(server.targets(), c.targets);
  std::string expected = c.transcript;
  replaceAll(expected, "{HOST}", host);
  EXPECT_EQ(controls.content(ctl::kTranscriptBox), gbk(expected));
  EXPECT_EQ(state.answerText.empty(), c.answerEmpty);
  EXPECT_EQ(controls.content(ctl::kAnswerBox), gbk("系统分析中"));
  if (c.source == Source::Software) {
    std::string picture = c.pictureAddress, download = c.downloadAddress;
    replaceAll(picture, "{HOST}", host);
    replaceAll(download, "{HOST}", host);
    EXPECT_EQ(controls.content(ctl::kPictureAddressBox), picture);
    EXPECT_EQ(state.downloadAddress, download);
  } else {
    // Only the software source touches the related picture's state.
    EXPECT_EQ(controls.content(ctl::kPictureAddressBox), "old picture");
    EXPECT_EQ(state.downloadAddress, "old download");
  }
}

const char* kFuzzyAnswerPage =
    "<html><head><meta charset=\"utf-8\"><title>天空为什么是蓝的_360问答</title></head><body>"
    "<div class=\"resolved-cnt\">因为<b>散射</b>。<br>完</div><div class=\"more\">x</div>";
const char* kExactSearchPage =
    "<h3 pid=\"77\"><a href=\"/z/skip.htm\">no</a></h3>\n"
    "<h3 pid=\"\"><a href=\"/z/q9.htm?from=list\">yes</a></h3>";
const char* kSoftwareSearchPage =
    "<ul><li><a href=\"/cat/1\">工具</a><a href=\"http://{HOST}/soft/7.html\">好软件</a></li></ul>";
const char* kSoftwareDetail =
    "<h1><span itemprop=\"name\">好软件</span></h1>"
    "<div id=\"rom_des\">  一个<p>小工具</p>\xe3\x80\x80</div>"
    "<a href=\"#\" target=\"_blank\"><img src=\"http://{HOST}/pic/shot.img.png\"></a>"
    "<a itemprop=\"downloadUrl\" href=\"http://{HOST}/dl/r/setup.exe\" "
    "title=\"允许单线程直接点击下载\">下载</a>";

INSTANTIATE_TEST_SUITE_P(
    Sources, SourceTest,
    ::testing::Values(
        Case{"FuzzyComplete",
             Source::Fuzzy,
             "天空",
             {{"/search/",
               "<li index=\"1\" aId=\"first\" target=\"_blank\">一</li>"
               "<li index=\"2\" aId=\"q123\" target=\"_blank\">二</li>"},
              {"/q/q123", kFuzzyAnswerPage}},
             {"/search/?q=%E5%A4%A9%E7%A9%BA", "/q/q123"},
             "问：天空为什么是蓝的_\r\n答：因为\r\n散射\r\n。\r\n完"},
        Case{"FuzzyAsciiEscapedAndUpperCaseMarker",
             Source::Fuzzy,
             "ab",
             {{"/search/", "<LI INDEX=\"2\" AID=\"k\" TARGET=\"_blank\">"},
              {"/q/k",
               "<META CHARSET=\"UTF-8\"><TITLE>T360问答<DIV CLASS=\"RESOLVED-CNT\">A</DIV>"
               "<DIV CLASS=\"z\">"}},
             {"/search/?q=%61%62", "/q/k"},
             "问：T\r\n答：A"},
        Case{"FuzzyResultWithoutKeyStillAsksAndFindsNothing",
             Source::Fuzzy,
             "",
             {{"/search/", "<li index=\"2\" class=\"x\" aId=\"k\" target=\"_blank\">"}},
             {"/search/?q=", "/q/"},
             "问：\r\n答：",
             true},
        Case{"ExactComplete",
             Source::Exact,
             "ab",
             {{"/s/", kExactSearchPage},
              {"/z/q9.htm",
               "<h3 id=\"questionTitle\">标题</h3><div class=\"answer-con\"><pre>"
               "第一行\n第二行</pre>\n</div></div>\n<div class=\"next\">"}},
             {"/s/?w=%61%62&search=%E6%90%9C%E7%B4%A2%E7%AD%94%E6%A1%88&ch=sp.sb.top",
              "/z/q9.htm?sw=%61%62&ch=new.w.search.0&ch=1"},
             "问：标题\r\n答：第一行\n第二行"},
        Case{"ExactCrLfAnswerBlockGivesNoAnswer",
             Source::Exact,
             "ab",
             {{"/s/", kExactSearchPage},
              {"/z/q9.htm",
               "<h3 id=\"questionTitle\">标题</h3><div class=\"answer-con\"><pre>"
               "x</pre>\r\n</div></div>\r\n<div>"}},
             {"/s/?w=%61%62&search=%E6%90%9C%E7%B4%A2%E7%AD%94%E6%A1%88&ch=sp.sb.top",
              "/z/q9.htm?sw=%61%62&ch=new.w.search.0&ch=1"},
             "问：标题\r\n答：",
             true},
        Case{"ExactReadsQuestionAgainForAnswerPage",
             Source::Exact,
             "ab",
             {{"/s/", "no results"}},
             {"/s/?w=%61%62&search=%E6%90%9C%E7%B4%A2%E7%AD%94%E6%A1%88&ch=sp.sb.top",
              "/z/.htm?sw=%63%64&ch=new.w.search.0&ch=1"},
             "问：\r\n答：",
             true,
             "",
             "",
             "cd"},
        Case{"SoftwareComplete",
             Source::Software,
             "中文",
             {{"/search.aspx", kSoftwareSearchPage}, {"/soft/7.html", kSoftwareDetail}},
             {"/search.aspx?keyword=%D6%D0%CE%C4&sType=all", "/soft/7.html"},
             "问：好软件\r\n答：一个\r\n小工具\r\n\r\n软件截图：http://{HOST}/pic/shot.png\r\n"
             "下载地址：http://{HOST}/dl/setup.exe",
             false,
             "http://{HOST}/pic/shot.img.png",
             "http://{HOST}/dl/r/setup.exe"},
        Case{"SoftwareEmptyDescriptionKeepsAddresses",
             Source::Software,
             "x",
             {{"/search.aspx", kSoftwareSearchPage},
              {"/soft/7.html",
               "<span itemprop=\"name\">N</span><div id=\"rom_des\"></div>"
               "<a target=\"_blank\"><img src=\"http://{HOST}/p.png\"></a>"
               "<a itemprop=\"downloadUrl\" href=\"http://{HOST}/d.zip\" "
               "title=\"允许单线程直接点击下载\">"}},
             {"/search.aspx?keyword=%78&sType=all", "/soft/7.html"},
             "问：N\r\n答：\r\n软件截图：http://{HOST}/p.png\r\n下载地址：http://{HOST}/d.zip",
             true,
             "http://{HOST}/p.png",
             "http://{HOST}/d.zip"},
        Case{"SoftwareWithoutScreenshotEmptiesPictureBox",
             Source::Software,
             "x",
             {{"/search.aspx", kSoftwareSearchPage},
              {"/soft/7.html", "<span itemprop=\"name\">N</span><div id=\"rom_des\"> </div>"}},
             {"/search.aspx?keyword=%78&sType=all", "/soft/7.html"},
             "问：N\r\n答：\r\n软件截图：\r\n下载地址：",
             false},
        Case{"SoftwareWithoutResultLinkEmptiesEverything",
             Source::Software,
             "x",
             {{"/search.aspx", "<a href=\"/only\">one link</a>"}},
             {"/search.aspx?keyword=%78&sType=all"},
             "问：\r\n答：\r\n软件截图：\r\n下载地址：",
             true}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace qelvora
