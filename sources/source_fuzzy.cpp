#include "sources/source_fuzzy.h"

#include "sources/answer_site.h"

namespace qelvora {

void askFuzzySource(SourceRun& run) {
  askAnswerSite(run, fuzzySite());
}

}  // namespace qelvora
