// The clean-up chain applied to the transcript box 编辑框5.
#pragma once

#include "base/controls.h"

namespace qelvora {

// Turns the markup left in 编辑框5 into plain text with line breaks, in place; withSoftwareSteps
// adds the five steps for software-site descriptions. Reads the box once and writes it once.
void cleanMarkup(ControlAccess& controls, bool withSoftwareSteps);

}  // namespace qelvora
