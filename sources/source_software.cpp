#include "sources/source_software.h"

#include "base/hosts.h"
#include "sources/clean_markup.h"
#include "sources/transcript.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

MarkerPair markers(std::string_view startUtf8, std::string_view endUtf8) {
  return {utf8ToGbk(startUtf8), utf8ToGbk(endUtf8)};
}

struct SoftwareTexts {
  Text screenshot = utf8ToGbk("\r\n软件截图：");
  Text download = utf8ToGbk("\r\n下载地址：");
};

const SoftwareTexts& texts() {
  static const SoftwareTexts t;
  return t;
}

}  // namespace

const SoftwareSite& softwareSite() {
  static const SoftwareSite site{
      [](std::string_view keyword) {
        return "/search.aspx?keyword=" + Text(keyword) + "&sType=all";
      },
      markers("</a><a href=\"", "\""),
      markers("itemprop=\"name\">", "</span>"),
      markers("<div id=\"rom_des\">", "</div>"),
      markers("target=\"_blank\"><img src=\"", "\"></a>"),
      markers("itemprop=\"downloadUrl\" href=\"", "\" title=\"允许单线程直接点击下载\""),
  };
  return site;
}

void askSoftwareSource(AnswerSession& session) {
  const SoftwareSite& site = softwareSite();
  const SoftwareTexts& t = texts();
  ControlAccess& c = session.controls;
  ProgramState& s = session.state;

  c.setContent(ctl::kAnswerBox, busyText());
  // This site takes its keyword as escaped GBK bytes and answers in GBK: no conversions.
  const Text keyword = urlEncodeGbk(c.content(ctl::kQuestionBox));
  s.pageText = toText(fetchPage("http://" + hosts().source3 + site.searchPath(keyword)));
  s.answerLink = cutBetween(s.pageText, site.detailLink);

  s.pageText = toText(fetchPage(s.answerLink));
  s.shownQuestion = cutBetween(s.pageText, site.name);
  s.answerText = cutBetween(s.pageText, site.description);
  // Both addresses are kept exactly as cut (the clean-up below touches only the transcript), and
  // both are overwritten by every software answer, with the empty text when the page lacks them.
  c.setContent(ctl::kPictureAddressBox, cutBetween(s.pageText, site.screenshot));
  s.downloadAddress = cutBetween(s.pageText, site.download);

  c.setContent(ctl::kTranscriptBox,
               joinTexts({transcript(s.shownQuestion, trimSpaces(s.answerText)), t.screenshot,
                          c.content(ctl::kPictureAddressBox), t.download, s.downloadAddress}));
  cleanMarkup(c, true);
  session.finishAnswer();
}

}  // namespace qelvora
