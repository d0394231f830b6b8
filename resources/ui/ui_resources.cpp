#include "resources/ui/ui_resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initUiResourcesOnce() {
  Q_INIT_RESOURCE(ui);
}

namespace qelvora {

void initUiResources() {
  static const bool done = (initUiResourcesOnce(), true);
  (void)done;
}

}  // namespace qelvora
