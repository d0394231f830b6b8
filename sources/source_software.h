// Answer source 3 (software): a software-download site; pages in GBK. Also leaves the screenshot
// address in 编辑框6 and the download address in downloadAddress for the related picture.
#pragma once

#include <string_view>

#include "base/text.h"
#include "base/text_cut.h"
#include "sources/answer_session.h"

namespace qelvora {

// The software site as the source reads it.
struct SoftwareSite {
  // Path and query of the search page, for the question escaped as GBK bytes.
  Text (*searchPath)(std::string_view keyword);
  // The detail page: the first link standing right behind another link's end tag, taken whole
  // as an address.
  MarkerPair detailLink;
  MarkerPair name;         // the program's name, on the detail page
  MarkerPair description;  // its description's markup
  MarkerPair screenshot;   // the screenshot's address
  MarkerPair download;     // the download address
};

const SoftwareSite& softwareSite();

// Entry of the source, run on a worker by the router: searches the site for the question in
// 编辑框3, cuts title and answer out of the answer page, writes the transcript to 编辑框5, cleans
// it and ends with session.finishAnswer().
void askSoftwareSource(AnswerSession& session);

}  // namespace qelvora
