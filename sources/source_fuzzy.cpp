#include "sources/source_fuzzy.h"

#include "base/hosts.h"
#include "base/text.h"
#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

const Text& titleEnd() {
  static const Text end = utf8ToGbk("360问答");
  return end;
}

}  // namespace

void askFuzzySource(SourceRun& run) {
  ControlAccess& c = run.controls;
  ProgramState& s = run.state;

  c.setContent(ctl::kAnswerBox, busyText());
  const Text question = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  const Text site = "http://" + hosts().source1;

  // A failed search leaves the key empty; the answer page is still asked for, and an empty answer
  // then becomes the no-answer reply in finishAnswer.
  s.pageText = fetchGbkPage(site + "/search/?q=" + question);
  s.answerLink = cutBetween(s.pageText, "index=\"2\" aId=\"", "\" target=\"");

  s.pageText = fetchGbkPage(site + "/q/" + s.answerLink);
  s.shownQuestion = cutBetween(s.pageText, "\"utf-8\"><title>", titleEnd());
  s.answerText = cutBetween(s.pageText, "class=\"resolved-cnt\">", "</div><div class=\"");

  c.setContent(ctl::kTranscriptBox, transcript(s.shownQuestion, s.answerText));
  cleanMarkup(c, false);
  run.finishAnswer();
}

}  // namespace qelvora
