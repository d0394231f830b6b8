#include "sources/source_exact.h"

#include "base/hosts.h"
#include "base/text.h"
#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

// The value of the search form's "search" field, escaped like the question.
const Text& searchField() {
  static const Text field = urlEncodeUtf8(utf8ToGbk("搜索答案"));
  return field;
}

}  // namespace

void askExactSource(SourceRun& run) {
  ControlAccess& c = run.controls;
  ProgramState& s = run.state;

  c.setContent(ctl::kAnswerBox, busyText());
  const Text site = "http://" + hosts().source2;

  const Text searchQuestion = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  s.pageText =
      fetchGbkPage(site + "/s/?w=" + searchQuestion + "&search=" + searchField() + "&ch=sp.sb.top");
  // The first result heading with an empty pid attribute.
  s.answerLink = cutBetween(s.pageText, "<h3 pid=\"\"><a href=\"/z/", ".htm");

  // The question box is read again: the answer page carries what it holds now.
  const Text pageQuestion = urlEncodeUtf8(c.content(ctl::kQuestionBox));
  s.pageText = fetchGbkPage(site + "/z/" + s.answerLink + ".htm?sw=" + pageQuestion +
                            "&ch=new.w.search.0&ch=1");
  s.shownQuestion = cutBetween(s.pageText, "id=\"questionTitle\">", "</h3>");
  // The end marker has bare line feeds: an answer block with CR LF line ends is not found.
  s.answerText = cutBetween(s.pageText, "class=\"answer-con\"><pre>", "</pre>\n</div></div>\n<div");

  c.setContent(ctl::kTranscriptBox, transcript(s.shownQuestion, s.answerText));
  cleanMarkup(c, false);
  run.finishAnswer();
}

}  // namespace qelvora
