#include "app/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QPointer>
#include <QWidget>

#include "base/controls.h"

namespace qelvora {

namespace {

QString qstring(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A plain widget is a "filler" to assistive technology; the windows are a frame and a dialog.
class WindowInterface : public QAccessibleWidget {
 public:
  WindowInterface(QWidget* w, QAccessible::Role role) : QAccessibleWidget(w, role) {}
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.modal = widget()->isModal();
    return s;
  }
};

// The toolkit's own interface of a control, everything passed on but two details: a control that
// lies outside its window's client area says so, and the drop-down list, which the toolkit names
// after its current item on this platform, takes its accessible name and gives the item as value.
class ControlInterface : public QAccessibleInterface {
 public:
  explicit ControlInterface(QAccessibleInterface* own) : own_(own), object_(own->object()) {}

  bool isValid() const override { return own_->isValid(); }
  // Its own copy: the cache asks a wrapper for its object while deleting it, possibly after it
  // has deleted the toolkit's interface already.
  QObject* object() const override { return object_; }
  QWindow* window() const override { return own_->window(); }
  QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
      QAccessible::Relation match) const override {
    return own_->relations(match);
  }
  QAccessibleInterface* focusChild() const override { return own_->focusChild(); }
  QAccessibleInterface* childAt(int x, int y) const override { return own_->childAt(x, y); }
  QAccessibleInterface* parent() const override { return own_->parent(); }
  QAccessibleInterface* child(int index) const override { return own_->child(index); }
  int childCount() const override { return own_->childCount(); }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return own_->indexOfChild(child);
  }
  void setText(QAccessible::Text t, const QString& text) override { own_->setText(t, text); }
  QRect rect() const override { return own_->rect(); }
  QAccessible::Role role() const override { return own_->role(); }
  QColor foregroundColor() const override { return own_->foregroundColor(); }
  QColor backgroundColor() const override { return own_->backgroundColor(); }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return own_->interface_cast(type);
  }
  void virtual_hook(int id, void* data) override { own_->virtual_hook(id, data); }

  QString text(QAccessible::Text t) const override {
    auto* list = qobject_cast<QComboBox*>(object());
    if (list && t == QAccessible::Name && !list->accessibleName().isEmpty())
      return list->accessibleName();
    if (list && t == QAccessible::Value) return list->currentText();
    return own_->text(t);
  }

  QAccessible::State state() const override {
    QAccessible::State s = own_->state();
    auto* w = qobject_cast<QWidget*>(object());
    if (w && !s.invisible) {
      QWidget* window = w->window();
      if (!window->rect().intersects(QRect(w->mapTo(window, QPoint(0, 0)), w->size())))
        s.offscreen = true;
    }
    return s;
  }

 private:
  // Owned by the toolkit's interface cache, which deletes it; never by this interface.
  QAccessibleInterface* const own_;
  const QPointer<QObject> object_;
};

// Whether w is the window of the layouts that goes by name.
bool isWindow(const QWidget* w, std::string_view name) {
  return w->isWindow() && w->objectName() == qstring(name);
}

QAccessibleInterface* factory(const QString&, QObject* object) {
  // Set while the toolkit's own interface of a control is being made, for ControlInterface.
  static thread_local bool makingOwn = false;
  auto* w = qobject_cast<QWidget*>(object);
  if (!w || makingOwn) return nullptr;
  if (isWindow(w, ctl::kMainWindow)) return new WindowInterface(w, QAccessible::Window);
  if (isWindow(w, ctl::kPictureWindow)) return new WindowInterface(w, QAccessible::Dialog);
  const QWidget* window = w->window();
  if (w == window || w->objectName().isEmpty() || w->objectName().startsWith("qt_") ||
      !(isWindow(window, ctl::kMainWindow) || isWindow(window, ctl::kPictureWindow)))
    return nullptr;
  // The toolkit's interface for this widget (its text, actions and children) is only reachable
  // through the interface query, which the guard sends past this factory. The query caches it
  // under the widget as well; the query that called this factory then caches the wrapper, which
  // is what is found from then on.
  makingOwn = true;
  QAccessibleInterface* own = QAccessible::queryAccessibleInterface(w);
  makingOwn = false;
  return own ? new ControlInterface(own) : nullptr;
}

}  // namespace

void installAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(factory);
    return true;
  }();
  (void)installed;
}

}  // namespace qelvora
