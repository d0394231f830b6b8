// The ask button's handler: the busy state, the built-in answers (the Beijing time and two canned
// answers) and the hand-over of every other question to the answer source chosen in 组合框1.
#pragma once

#include "base/controls.h"
#include "base/text.h"
#include "sources/answer_session.h"
#include "sources/transcript.h"

namespace qelvora {

// Click handler of 按钮1; runs on the window thread. Built-in questions are answered here (about
// six seconds of waits that keep the window served, cut short when the main window closes); any
// other question starts the selected source on a detached worker and returns at once. session
// must outlive that worker.
void askQuestion(AnswerSession& session);

// 50 passes of a 100 ms wait, each adding one dot after "系统分析中" in 编辑框4 (one to seven dots,
// then over again). Leaves "系统分析中." behind; ends early when the main window closes. Any
// thread.
void busyAnimation(ControlAccess& controls);

// The sources' closing step, on their worker: the busy animation, a 1 s pause, the no-answer reply
// in place of the transcript when the answer is empty, the progress title and the typing effect.
void finishAnswer(AnswerSession& session);

// The program's fixed texts (GBK).
const Text& noAnswerText();  // "对不起，您问的问题我还没有解答方法\r\n"
const Text& menAnswer();     // the canned answer to "男人是什么？" (270 bytes)
const Text& womenAnswer();   // the canned answer to "女人是什么？" (233 bytes)

}  // namespace qelvora
