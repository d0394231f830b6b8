// The typing effect: every answer goes whole into the transcript box 编辑框5 and is typed into the
// answer box 编辑框4 one character per tick of 时钟1 while the embedded sound loops; 时钟2 writes
// the progress into the window title.
#pragma once

#include <functional>
#include <string_view>

#include "base/char_count.h"
#include "base/controls.h"
#include "base/program_state.h"

namespace qelvora {

// What the typing effect works with. The sound functions start the embedded sound in repeat mode
// and stop every playing sound.
struct Presentation {
  ControlAccess& controls;
  ProgramState& state;
  std::function<void()> startSound;
  std::function<void()> stopSound;
};

// Clears 编辑框4, cuts 编辑框5 into pieces, starts the sound and 时钟1 (period from 编辑框2; a
// speed that reads as 0 or less falls back to 40 ms). Always runs whole on the window thread.
void startTyping(Presentation& p);
// Handler of 时钟1: types the next piece (a space never takes a tick of its own); after the last
// one stops sound and timers, restores the title, offers the related picture and enables 按钮1.
void typingTick(Presentation& p);
// Handler of 时钟2: "Qelvora      进度：B/A" in the title, B and A the characters (charCount) of
// 编辑框4 and 编辑框5.
void progressTick(Presentation& p);

}  // namespace qelvora
