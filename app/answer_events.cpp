#include "app/answer_events.h"

#include "answer/router.h"
#include "answer/typing.h"
#include "sources/picture.h"

namespace qelvora {

void bindAnswerEvents(FormModel& model, AnswerSession& session) {
  AnswerSession* s = &session;
  session.finishAnswer = [s] { finishAnswer(*s); };
  FormHandlers& h = model.handlers;
  h.askClicked = [s] { askQuestion(*s); };
  h.retypeClicked = [s] { startTyping(*s); };
  h.downloadClicked = [s] { browseDownloadAddress(s->controls, s->state); };
  h.typingTimerTick = [s] { typingTick(*s); };
  h.progressTimerTick = [s] { progressTick(*s); };
  h.pictureWindowClosing = [s] { pictureWindowClosed(s->controls, s->state); };
}

}  // namespace qelvora
