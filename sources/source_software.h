// Answer source 3 (software): a software-download site; pages in GBK. Also leaves the screenshot
// address in 编辑框6 and the download address in downloadAddress for the related picture.
#pragma once

#include "sources/clean_markup.h"

namespace qelvora {

// Entry of the source, run on a worker by the router: searches the site for the question in
// 编辑框3, cuts title and answer out of the answer page, writes the transcript to 编辑框5, cleans
// it and ends with run.finishAnswer().
void askSoftwareSource(SourceRun& run);

}  // namespace qelvora
