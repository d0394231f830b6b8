#include "sources/clean_markup.h"

#include "sources/markup.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

void cleanMarkup(ControlAccess& controls, bool withSoftwareSteps) {
  // Nothing watches the box between the steps (the progress title is not running yet), so the
  // chain runs on a copy and the box is written once.
  controls.setContent(ctl::kTranscriptBox,
                      cleanMarkupText(controls.content(ctl::kTranscriptBox), withSoftwareSteps));
}

const Text& busyText() {
  static const Text busy = utf8ToGbk("系统分析中");
  return busy;
}

Text transcript(std::string_view question, std::string_view answer) {
  static const Text asked = utf8ToGbk("问：");
  static const Text answered = utf8ToGbk("\r\n答：");
  return joinTexts({asked, question, answered, answer});
}

Text fetchGbkPage(const Text& url) {
  return pageToGbk(toText(fetchPage(url)));
}

}  // namespace qelvora
