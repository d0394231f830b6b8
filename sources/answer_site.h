// The two question-and-answer sites (sources 1 and 2) as data. Both are searched the same way:
// the question is escaped as UTF-8, the search page is fetched and converted to GBK, the answer
// page's key is cut out of it, the answer page is fetched and converted, and title and answer are
// cut out of it by their markers. One routine runs either description.
#pragma once

#include <string>
#include <string_view>

#include "base/hosts.h"
#include "base/text.h"
#include "base/text_cut.h"
#include "sources/answer_session.h"

namespace qelvora {

struct AnswerSite {
  std::string Hosts::*host;  // the site's host[:port] among the hosts in force
  // Path and query of the search page, for the question escaped as UTF-8.
  Text (*searchPath)(std::string_view question);
  MarkerPair key;  // the answer page's key, on the search page
  // Path and query of the answer page for key; question is the question box escaped again when
  // the answer page is asked for (the box may have changed meanwhile).
  Text (*answerPath)(std::string_view key, std::string_view question);
  // Whether answerPath uses its question; a site whose answer page does not carry it is spared
  // the second read of the box (a hand-over to the window thread).
  bool answerCarriesQuestion;
  MarkerPair title;   // the question as the answer page states it
  MarkerPair answer;  // the answer's markup
};

const AnswerSite& fuzzySite();  // source 1: searched loosely
const AnswerSite& exactSite();  // source 2

// A page of a site that sends UTF-8, fetched and converted to GBK for the marker searches.
Text fetchGbkPage(const Text& url);

// Asks site the question in 编辑框3 on the source's worker: leaves the pages, key, title and
// answer in the shared state, writes the cleaned transcript to 编辑框5 and ends with
// session.finishAnswer().
void askAnswerSite(AnswerSession& session, const AnswerSite& site);

}  // namespace qelvora
