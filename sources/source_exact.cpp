#include "sources/source_exact.h"

#include "sources/answer_site.h"

namespace qelvora {

void askExactSource(SourceRun& run) {
  askAnswerSite(run, exactSite());
}

}  // namespace qelvora
