#include "sources/transcript.h"

#include "web/encoding.h"

namespace qelvora {

const Text& busyText() {
  static const Text busy = utf8ToGbk("系统分析中");
  return busy;
}

Text transcript(std::string_view question, std::string_view answer) {
  static const Text asked = utf8ToGbk("问：");
  static const Text answered = utf8ToGbk("\r\n答：");
  return joinTexts({asked, question, answered, answer});
}

}  // namespace qelvora
