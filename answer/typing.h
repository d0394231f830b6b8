// The typing effect: every answer goes whole into the transcript box 编辑框5 and is typed into the
// answer box 编辑框4 one character per tick of 时钟1 while the embedded sound loops; 时钟2 writes
// the progress into the window title.
#pragma once

#include "base/char_count.h"
#include "base/controls.h"
#include "base/program_state.h"
#include "sources/answer_session.h"

namespace qelvora {

// Clears 编辑框4, cuts 编辑框5 into pieces, starts the sound and 时钟1 (period from 编辑框2; a
// speed that reads as 0 or less falls back to 40 ms). Always runs whole on the window thread.
void startTyping(AnswerSession& session);
// Handler of 时钟1: types the next piece (a space never takes a tick of its own); after the last
// one stops sound and timers, restores the title, offers the related picture and enables 按钮1.
void typingTick(AnswerSession& session);
// Handler of 时钟2: "Qelvora      进度：B/A" in the title, B and A the characters (charCount) of
// 编辑框4 and 编辑框5.
void progressTick(AnswerSession& session);

}  // namespace qelvora
