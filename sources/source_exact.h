// Answer source 2 (exact): a second question-and-answer site; pages in UTF-8.
#pragma once

#include "sources/answer_session.h"

namespace qelvora {

// Entry of the source, run on a worker by the router: searches the site for the question in
// 编辑框3, cuts title and answer out of the answer page, writes the transcript to 编辑框5, cleans
// it and ends with session.finishAnswer().
void askExactSource(AnswerSession& session);

}  // namespace qelvora
