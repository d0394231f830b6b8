// What assistive technology is told about the windows beyond what the toolkit tells by itself:
// the two windows as a frame and a dialog, the source list by its name with the chosen item as
// its value, and the controls that lie outside their window's visible area as off-screen.
#pragma once

namespace qelvora {

// Installs the interfaces for the widgets of the windows "主窗口" and "相关图片窗口" (recognised
// by their layout names, so also while a layout is still being loaded). Once per process; call
// before the first window is built.
void installAccessibility();

}  // namespace qelvora
