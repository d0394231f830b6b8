#include "sources/clean_markup.h"

#include "sources/markup.h"

namespace qelvora {

void cleanMarkup(ControlAccess& controls, bool withSoftwareSteps) {
  // Nothing watches the box between the steps (the progress title is not running yet), so the
  // chain runs on a copy and the box is written once.
  controls.setContent(ctl::kTranscriptBox,
                      cleanMarkupText(controls.content(ctl::kTranscriptBox), withSoftwareSteps));
}

}  // namespace qelvora
