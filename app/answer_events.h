// The answering part of the form's event table, bound the same way for the window, the terminal
// tool and the tests.
#pragma once

#include "app/form_model.h"
#include "sources/answer_session.h"

namespace qelvora {

// Binds model's events to session: 按钮1 asks the question, 按钮2 types the transcript again,
// 按钮3 offers the download, 时钟1 types the next character, 时钟2 shows the progress in the title,
// and the picture window's closing offers the download. Also gives the session the router's
// closing step. What starts when a window opens (the welcome text, the picture loader) is left to
// the caller. session must outlive every worker it starts.
void bindAnswerEvents(FormModel& model, AnswerSession& session);

}  // namespace qelvora
