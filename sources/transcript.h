// The texts every answer is shown with: the busy text while it is prepared and the two-line
// transcript it is typed from.
#pragma once

#include <string_view>

#include "base/text.h"

namespace qelvora {

// "系统分析中" (GBK): what the answer box shows while an answer is prepared.
const Text& busyText();
// "问：" + question + "\r\n答：" + answer (GBK).
Text transcript(std::string_view question, std::string_view answer);

}  // namespace qelvora
