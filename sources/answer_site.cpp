#include "sources/answer_site.h"

#include "sources/clean_markup.h"
#include "sources/markup.h"
#include "sources/transcript.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

MarkerPair markers(std::string_view startUtf8, std::string_view endUtf8) {
  return {utf8ToGbk(startUtf8), utf8ToGbk(endUtf8)};
}

// The value of source 2's search form field "search", escaped like the question.
const Text& exactSearchField() {
  static const Text field = urlEncodeUtf8(utf8ToGbk("搜索答案"));
  return field;
}

}  // namespace

const AnswerSite& fuzzySite() {
  static const AnswerSite site{
      &Hosts::source1,
      [](std::string_view question) { return "/search/?q=" + Text(question); },
      // The first result whose markup holds index="2" right before its aId attribute.
      markers("index=\"2\" aId=\"", "\" target=\""),
      [](std::string_view key, std::string_view) { return "/q/" + Text(key); },
      /*answerCarriesQuestion=*/false,
      // The page title up to the site's name at its end.
      markers("\"utf-8\"><title>", "360问答"),
      markers("class=\"resolved-cnt\">", "</div><div class=\""),
  };
  return site;
}

const AnswerSite& exactSite() {
  static const AnswerSite site{
      &Hosts::source2,
      [](std::string_view question) {
        return "/s/?w=" + Text(question) + "&search=" + exactSearchField() + "&ch=sp.sb.top";
      },
      // The first result heading with an empty pid attribute.
      markers("<h3 pid=\"\"><a href=\"/z/", ".htm"),
      [](std::string_view key, std::string_view question) {
        return "/z/" + Text(key) + ".htm?sw=" + Text(question) + "&ch=new.w.search.0&ch=1";
      },
      /*answerCarriesQuestion=*/true,
      markers("id=\"questionTitle\">", "</h3>"),
      // The end marker has bare line feeds: an answer block with CR LF line ends is not found.
      markers("class=\"answer-con\"><pre>", "</pre>\n</div></div>\n<div"),
  };
  return site;
}

Text fetchGbkPage(const Text& url) {
  return pageToGbk(toText(fetchPage(url)));
}

void askAnswerSite(AnswerSession& session, const AnswerSite& site) {
  ControlAccess& c = session.controls;
  ProgramState& s = session.state;

  c.setContent(ctl::kAnswerBox, busyText());
  const Text address = "http://" + hosts().*site.host;

  // A failed search leaves the key empty; the answer page is still asked for, and an empty answer
  // then becomes the no-answer reply in finishAnswer.
  s.pageText = fetchGbkPage(address + site.searchPath(urlEncodeUtf8(c.content(ctl::kQuestionBox))));
  s.answerLink = cutBetween(s.pageText, site.key);

  const Text pageQuestion =
      site.answerCarriesQuestion ? urlEncodeUtf8(c.content(ctl::kQuestionBox)) : Text();
  s.pageText = fetchGbkPage(address + site.answerPath(s.answerLink, pageQuestion));
  s.shownQuestion = cutBetween(s.pageText, site.title);
  s.answerText = cutBetween(s.pageText, site.answer);

  c.setContent(ctl::kTranscriptBox, transcript(s.shownQuestion, s.answerText));
  cleanMarkup(c, false);
  session.finishAnswer();
}

}  // namespace qelvora
