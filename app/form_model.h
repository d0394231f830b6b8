// The headless form: every control of the main window and of the "相关图片" window with its value
// and the rules the logic relies on (byte-exact edit contents, timer periods, dropped writes to a
// closed window). It needs only QtCore; the widget windows are views that follow its signals, and
// the terminal tool and the tests drive it without any widget.
//
// The model lives on the window thread (the thread that created it, normally the GUI thread).
// Every ControlAccess call may come from any thread: a call from another thread is queued to the
// window thread and the caller waits until it has been performed. Once shutDown() has run (the
// window loop has ended), pending and new calls from other threads return at once with empty
// values and writes are dropped.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/controls.h"

class QEventLoop;
class QTimer;

namespace qelvora {

// The event table: what runs when. Every handler runs on the window thread; an empty handler
// does nothing.
struct FormHandlers {
  std::function<void()> mainWindowCreated;
  std::function<void()> askClicked;            // 按钮1
  std::function<void()> retypeClicked;         // 按钮2
  std::function<void()> downloadClicked;       // 按钮3
  std::function<void()> typingTimerTick;       // 时钟1
  std::function<void()> progressTimerTick;     // 时钟2
  std::function<void()> pictureWindowCreated;  // the picture loader start
  std::function<void()> pictureWindowClosing;  // about to be destroyed, after it was closed
};

enum class ControlKind {
  EditBox,
  Button,
  Label,
  GroupBox,
  ComboBox,
  Timer,
  Window,
  Browser,
  Picture
};

// The properties each kind of control has. Any other property of a control reads as its empty
// value, and writes of it are ignored.
constexpr bool hasProperty(ControlKind kind, Property property) {
  switch (property) {
    case Property::Content:
      return kind == ControlKind::EditBox;
    case Property::Caption:
      return kind == ControlKind::Button || kind == ControlKind::Label ||
             kind == ControlKind::GroupBox;
    case Property::Title:
      return kind == ControlKind::Window;
    case Property::Disabled:
      return kind == ControlKind::Button;
    case Property::Period:
      return kind == ControlKind::Timer;
    case Property::Selection:
      return kind == ControlKind::ComboBox;
    case Property::Address:
      return kind == ControlKind::Browser;
    case Property::Picture:
      return kind == ControlKind::Picture;
  }
  return false;
}

class FormModel : public QObject, public ControlAccess {
  Q_OBJECT

 public:
  FormModel();
  ~FormModel() override;

  // Set on the window thread before the events they serve can happen.
  FormHandlers handlers;

  // ControlAccess: any thread.
  PropertyValue readProperty(std::string_view control, Property property) override;
  void writeProperty(std::string_view control, Property property, PropertyValue value) override;
  void appendText(std::string_view control, std::string_view text) override;
  void setFocus(std::string_view control) override;
  // Opens the picture window and runs a nested event loop until closePictureWindow() (from the
  // view, a test or the terminal tool) or the end of the application's loop closes it.
  void openPictureWindow() override;
  void runOnWindowThread(const std::function<void()>& fn) override;
  int characterCount(std::string_view box) override;
  void reserveContent(std::string_view box, std::size_t bytes) override;

  // Raises the main window's created event (once; later calls do nothing).
  void raiseMainWindowCreated();
  // A user click: runs the button's handler unless the button is disabled or its window closed.
  void click(std::string_view button);
  // What the user typed or picked in a view; replaces the value like a write.
  void editByUser(std::string_view box, Text gbk);
  void selectByUser(std::string_view list, int index);
  // Closes the picture window if it is open: the closing handler runs exactly once per opening
  // and the nested loop of openPictureWindow ends. Any thread.
  void closePictureWindow();
  // The main window has been closed: its timers stop and its controls read empty from now on.
  void closeMainWindow();

  bool pictureWindowOpen() const;
  // Read without a hand-over to the window thread: the answering code asks it at every step of
  // its waits, and a close still queued there is seen at the next step.
  bool mainWindowOpen() const override;
  // The controls as a worker started for the current opening of the picture window sees them: its
  // reads and writes of that window's controls go nowhere once this opening has been closed, also
  // when the window has been opened again since. Everything else is the model's own.
  std::shared_ptr<ControlAccess> pictureOpeningAccess();
  // Layout name of the control that has the keyboard focus ("" when none).
  std::string focusedControl() const;
  ControlKind kindOf(std::string_view control) const;
  bool hasControl(std::string_view control) const;
  // Items of a drop-down list (GBK).
  std::vector<Text> items(std::string_view list) const;

  // Called with the address (GBK) whenever the browser's address is set to an http or https
  // address. Without an opener (headless) the browser opens nothing.
  void setBrowserOpener(std::function<void(const Text& address)> opener);

  // With instant timers on, every running timer ticks with no delay between ticks (in the same
  // order); the periods keep their values.
  void setInstantTimers(bool on);

  // The window loop has ended: release every waiting caller and answer later calls at once.
  void shutDown();
  bool isShutDown() const { return shutDown_.load(); }

  bool onWindowThread() const;

 signals:
  // A property of control changed (any property, including its content).
  void propertyChanged(const QString& control, qelvora::Property property);
  // text (GBK bytes) was appended to the edit box control.
  void textAppended(const QString& control, const QByteArray& text);
  void focusRequested(const QString& control);
  void pictureWindowOpened();
  void pictureWindowClosed();

 private:
  struct Control {
    ControlKind kind = ControlKind::EditBox;
    bool inPictureWindow = false;
    Text text;        // content, caption or title
    CharTally tally;  // characters of an edit box's content
    bool disabled = false;
    int period = 0;
    int selection = -1;
    std::vector<Text> items;
    Text address;
    Bytes picture;
    QTimer* timer = nullptr;
    std::function<void()> FormHandlers::*tick = nullptr;
  };

  friend class OpeningAccess;

  // Runs fn on the window thread and waits for it; false when it was not run (shut down).
  bool callOnWindowThread(const std::function<void()>& fn) const;
  // Whether control belongs to the picture window and opening is not its current opening.
  bool otherOpening(int opening, std::string_view control) const;
  Control* find(std::string_view control);
  const Control* find(std::string_view control) const;
  bool isOpen(const Control& c) const;
  PropertyValue readLocal(std::string_view control, Property property) const;
  void writeLocal(std::string_view control, Property property, PropertyValue value);
  void applyPeriod(Control& c, int period);
  void restartTimer(Control& c);
  void instantRounds();
  void changed(std::string_view control, Property property);
  void closePictureLocal();
  void addControl(std::string_view name, ControlKind kind, Text text = {},
                  bool inPictureWindow = false);

  std::map<std::string, Control, std::less<>> controls_;
  std::string focus_;
  bool pictureOpen_ = false;
  int pictureOpening_ = 0;            // counts the openings of the picture window
  std::atomic<bool> mainOpen_{true};  // written on the window thread only
  bool createdRaised_ = false;
  bool instantTimers_ = false;
  std::vector<Control*> timers_;  // in the order their ticks run
  QEventLoop* pictureLoop_ = nullptr;
  std::function<void(const Text&)> browserOpener_;

  // Calls from other threads are queued to this child rather than to the model, so that the const
  // queries can queue theirs too; it lives on the window thread with the model.
  QObject* const callTarget_;
  std::atomic<bool> shutDown_{false};
  mutable std::mutex callMutex_;
  mutable std::condition_variable callDone_;
};

// The empty value of a property's kind: what a control of a closed window reads as.
PropertyValue emptyValue(Property property);

}  // namespace qelvora
