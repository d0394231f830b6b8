// The window manager's close requests for the main window while a modal window blocks it.
#pragma once

#include <QAbstractNativeEventFilter>

#include <memory>

class QWidget;

namespace qelvora {

// Under X11 the window manager asks a window to close with a WM_DELETE_WINDOW message, and Qt drops
// the message while a modal window blocks that window (Wayland's close request is not dropped).
// The returned filter, while it lives, closes window on such a request as its close box would:
// the main window's close ends the program in every state. nullptr on other window systems.
std::unique_ptr<QAbstractNativeEventFilter> watchCloseRequests(QWidget* window);

}  // namespace qelvora
