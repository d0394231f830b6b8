#include "sources/source_exact.h"

#include "sources/answer_site.h"

namespace qelvora {

void askExactSource(AnswerSession& session) {
  askAnswerSite(session, exactSite());
}

}  // namespace qelvora
