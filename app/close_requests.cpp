#include "app/close_requests.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace qelvora {

namespace {

class CloseRequests : public QAbstractNativeEventFilter {
 public:
  CloseRequests(QWidget* window, xcb_atom_t protocols, xcb_atom_t deleteWindow)
      : window_(window), protocols_(protocols), deleteWindow_(deleteWindow) {}

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t" || !window_) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
    const auto* m = static_cast<const xcb_client_message_event_t*>(message);
    if (m->format != 32 || m->type != protocols_ || m->data.data32[0] != deleteWindow_ ||
        m->window != window_->internalWinId())
      return false;
    // Unblocked, Qt closes the window itself.
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == window_) return false;
    // Not from inside the X event processing: the close ends the window loop.
    QMetaObject::invokeMethod(
        window_,
        [w = window_] {
          if (w) w->close();
        },
        Qt::QueuedConnection);
    return true;
  }

 private:
  QPointer<QWidget> window_;
  const xcb_atom_t protocols_;
  const xcb_atom_t deleteWindow_;
};

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return value;
}

}  // namespace

std::unique_ptr<QAbstractNativeEventFilter> watchCloseRequests(QWidget* window) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return nullptr;
  const xcb_atom_t protocols = atom(x11->connection(), "WM_PROTOCOLS");
  const xcb_atom_t deleteWindow = atom(x11->connection(), "WM_DELETE_WINDOW");
  if (protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE) return nullptr;
  auto filter = std::make_unique<CloseRequests>(window, protocols, deleteWindow);
  qApp->installNativeEventFilter(filter.get());
  return filter;
}

}  // namespace qelvora
