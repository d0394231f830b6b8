#include "sources/source_fuzzy.h"

#include "base/hosts.h"
#include "base/text.h"
#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

struct FuzzyTexts {
  Text busy = utf8ToGbk("系统分析中");
  Text asked = utf8ToGbk("问：");
  Text answered = utf8ToGbk("\r\n答：");
  Text titleEnd = utf8ToGbk("360问答");
};

const FuzzyTexts& texts() {
  static const FuzzyTexts t;
  return t;
}

// The site sends UTF-8; every marker search works on GBK.
Text fetchGbkPage(const Text& url) {
  return pageToGbk(toText(fetchPage(url)));
}

}  // namespace

void askFuzzySource(SourceRun& run) {
  const FuzzyTexts& t = texts();
  ControlAccess& c = run.controls;
  ProgramState& s = run.state;

  c.setContent(ctl::kAnswerBox, t.busy);
  const Text question = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  const Text site = "http://" + hosts().source1;

  // A failed search leaves the key empty; the answer page is still asked for, and an empty answer
  // then becomes the no-answer reply in finishAnswer.
  s.pageText = fetchGbkPage(site + "/search/?q=" + question);
  s.answerLink = cutBetween(s.pageText, "index=\"2\" aId=\"", "\" target=\"");

  s.pageText = fetchGbkPage(site + "/q/" + s.answerLink);
  s.shownQuestion = cutBetween(s.pageText, "\"utf-8\"><title>", t.titleEnd);
  s.answerText = cutBetween(s.pageText, "class=\"resolved-cnt\">", "</div><div class=\"");

  c.setContent(ctl::kTranscriptBox,
               joinTexts({t.asked, s.shownQuestion, t.answered, s.answerText}));
  cleanMarkup(c, false);
  run.finishAnswer();
}

}  // namespace qelvora
