#include "sources/source_fuzzy.h"

#include "sources/answer_site.h"

namespace qelvora {

void askFuzzySource(AnswerSession& session) {
  askAnswerSite(session, fuzzySite());
}

}  // namespace qelvora
