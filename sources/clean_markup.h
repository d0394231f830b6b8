// The pieces the three answer sources share beyond the pure text routines of sources/markup.h:
// what a source run works with, and the clean-up chain applied to the transcript box 编辑框5.
#pragma once

#include <functional>

#include <string_view>

#include "base/controls.h"
#include "base/program_state.h"
#include "base/text.h"

namespace qelvora {

// One run of an answer source on its worker thread. finishAnswer is the router's closing step
// (busy animation, pause, no-answer reply, typing); the sources cannot reach answer/ themselves.
struct SourceRun {
  ControlAccess& controls;
  ProgramState& state;
  std::function<void()> finishAnswer;
};

// Turns the markup left in 编辑框5 into plain text with line breaks, in place; withSoftwareSteps
// adds the five steps for software-site descriptions. Reads the box once and writes it once.
void cleanMarkup(ControlAccess& controls, bool withSoftwareSteps);

// The busy text "系统分析中" (GBK) that the answer box shows while an answer is prepared.
const Text& busyText();
// The transcript every answer is typed from: "问：" + question + "\r\n答：" + answer (GBK).
Text transcript(std::string_view question, std::string_view answer);
// A page of a site that sends UTF-8, fetched and converted to GBK for the marker searches.
Text fetchGbkPage(const Text& url);

}  // namespace qelvora
