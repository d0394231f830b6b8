#include "sources/source_exact.h"

#include "base/hosts.h"
#include "base/text.h"
#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

struct ExactTexts {
  Text busy = utf8ToGbk("系统分析中");
  Text asked = utf8ToGbk("问：");
  Text answered = utf8ToGbk("\r\n答：");
  Text searchField = urlEncodeUtf8(utf8ToGbk("搜索答案"));
};

const ExactTexts& texts() {
  static const ExactTexts t;
  return t;
}

Text fetchGbkPage(const Text& url) {
  return pageToGbk(toText(fetchPage(url)));
}

}  // namespace

void askExactSource(SourceRun& run) {
  const ExactTexts& t = texts();
  ControlAccess& c = run.controls;
  ProgramState& s = run.state;

  c.setContent(ctl::kAnswerBox, t.busy);
  const Text site = "http://" + hosts().source2;

  const Text searchQuestion = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  s.pageText =
      fetchGbkPage(site + "/s/?w=" + searchQuestion + "&search=" + t.searchField + "&ch=sp.sb.top");
  // The first result heading with an empty pid attribute.
  s.answerLink = cutBetween(s.pageText, "<h3 pid=\"\"><a href=\"/z/", ".htm");

  // The question box is read again: the answer page carries what it holds now.
  const Text pageQuestion = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  s.pageText = fetchGbkPage(site + "/z/" + s.answerLink + ".htm?sw=" + pageQuestion +
                            "&ch=new.w.search.0&ch=1");
  s.shownQuestion = cutBetween(s.pageText, "id=\"questionTitle\">", "</h3>");
  // The end marker has bare line feeds: an answer block with CR LF line ends is not found.
  s.answerText = cutBetween(s.pageText, "class=\"answer-con\"><pre>", "</pre>\n</div></div>\n<div");

  c.setContent(ctl::kTranscriptBox,
               joinTexts({t.asked, s.shownQuestion, t.answered, s.answerText}));
  cleanMarkup(c, false);
  run.finishAnswer();
}

}  // namespace qelvora
