// The window layouts, compiled into the program as the Qt resources :/ui/*.ui.
#pragma once

namespace qelvora {

// Registers the layout resources (a static library's resources need an explicit call).
void initUiResources();

}  // namespace qelvora
