#include "sources/source_software.h"

#include "base/hosts.h"
#include "base/text.h"
#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

struct SoftwareTexts {
  Text screenshot = utf8ToGbk("\r\n软件截图：");
  Text download = utf8ToGbk("\r\n下载地址：");
  Text downloadEnd = utf8ToGbk("\" title=\"允许单线程直接点击下载\"");
};

const SoftwareTexts& texts() {
  static const SoftwareTexts t;
  return t;
}

}  // namespace

void askSoftwareSource(SourceRun& run) {
  const SoftwareTexts& t = texts();
  ControlAccess& c = run.controls;
  ProgramState& s = run.state;

  c.setContent(ctl::kAnswerBox, busyText());
  // This site takes its keyword as escaped GBK bytes and answers in GBK: no conversions.
  const Text keyword = urlEncodeGbk(c.content(ctl::kQuestionBox));
  s.pageText = toText(
      fetchPage("http://" + hosts().source3 + "/search.aspx?keyword=" + keyword + "&sType=all"));
  // The detail page is the first link standing right behind another link's end tag; its address
  // is taken whole.
  s.answerLink = cutBetween(s.pageText, "</a><a href=\"", "\"");

  s.pageText = toText(fetchPage(s.answerLink));
  s.shownQuestion = cutBetween(s.pageText, "itemprop=\"name\">", "</span>");
  s.answerText = cutBetween(s.pageText, "<div id=\"rom_des\">", "</div>");
  // Both addresses are kept exactly as cut (the clean-up below touches only the transcript), and
  // both are overwritten by every software answer, with the empty text when the page lacks them.
  c.setContent(ctl::kPictureAddressBox,
               cutBetween(s.pageText, "target=\"_blank\"><img src=\"", "\"></a>"));
  s.downloadAddress = cutBetween(s.pageText, "itemprop=\"downloadUrl\" href=\"", t.downloadEnd);

  c.setContent(ctl::kTranscriptBox,
               joinTexts({transcript(s.shownQuestion, trimSpaces(s.answerText)), t.screenshot,
                          c.content(ctl::kPictureAddressBox), t.download, s.downloadAddress}));
  cleanMarkup(c, true);
  run.finishAnswer();
}

}  // namespace qelvora
