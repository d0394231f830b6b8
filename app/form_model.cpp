#include "app/form_model.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include "web/encoding.h"
#include "web/url.h"

namespace qelvora {

namespace {

// State of one call queued from another thread, guarded by the model's call mutex.
struct QueuedCall {
  bool running = false;
  bool done = false;
  bool abandoned = false;
};

}  // namespace

// Forwards to the model, tagged with one opening of the picture window.
class OpeningAccess : public ControlAccess {
 public:
  OpeningAccess(FormModel& model, int opening) : model_(model), opening_(opening) {}

  PropertyValue readProperty(std::string_view control, Property property) override {
    PropertyValue result = emptyValue(property);
    ifThisOpening(control, [&] { result = model_.readLocal(control, property); });
    return result;
  }
  void writeProperty(std::string_view control, Property property, PropertyValue value) override {
    ifThisOpening(control, [&] { model_.writeLocal(control, property, std::move(value)); });
  }
  void appendText(std::string_view control, std::string_view text) override {
    ifThisOpening(control, [&] { model_.appendText(control, text); });
  }
  void setFocus(std::string_view control) override {
    ifThisOpening(control, [&] { model_.setFocus(control); });
  }
  void openPictureWindow() override { model_.openPictureWindow(); }
  void runOnWindowThread(const std::function<void()>& fn) override { model_.runOnWindowThread(fn); }
  bool mainWindowOpen() const override { return model_.mainWindowOpen(); }

 private:
  // Runs fn on the window thread unless control belongs to a later opening of the picture window.
  void ifThisOpening(std::string_view control, const std::function<void()>& fn) {
    model_.callOnWindowThread([&] {
      if (!model_.otherOpening(opening_, control)) fn();
    });
  }

  FormModel& model_;
  const int opening_;
};

PropertyValue emptyValue(Property property) {
  switch (property) {
    case Property::Disabled:
      return false;
    case Property::Period:
      return 0;
    case Property::Selection:
      return -1;
    case Property::Picture:
      return Bytes();
    default:
      return Text();
  }
}

FormModel::FormModel() : callTarget_(new QObject(this)) {
  // The layout's initial state. Texts are GBK like every value the logic sees.
  addControl(ctl::kMainWindow, ControlKind::Window, utf8ToGbk("Qelvora"));
  addControl("分组框3", ControlKind::GroupBox, utf8ToGbk("简介"));
  addControl("标签2", ControlKind::Label,
             utf8ToGbk("欢迎使用Qelvora\r\n\r\n本系统会根据你所提及的问题给予最准确最科学的解答"));
  addControl("分组框1", ControlKind::GroupBox, utf8ToGbk("提问区"));
  addControl(ctl::kQuestionBox, ControlKind::EditBox);
  addControl(ctl::kSourceList, ControlKind::ComboBox);
  addControl(ctl::kAskButton, ControlKind::Button, utf8ToGbk("智能解答"));
  addControl("分组框2", ControlKind::GroupBox, utf8ToGbk("解答区"));
  addControl(ctl::kAnswerBox, ControlKind::EditBox);
  addControl(ctl::kCopyBox, ControlKind::EditBox);
  addControl(ctl::kSpeedBox, ControlKind::EditBox, "40");
  addControl("标签1", ControlKind::Label, utf8ToGbk("速度(毫秒)："));
  addControl(ctl::kTranscriptBox, ControlKind::EditBox);
  addControl(ctl::kPictureAddressBox, ControlKind::EditBox);
  addControl(ctl::kRetypeButton, ControlKind::Button, utf8ToGbk("解答"));
  addControl(ctl::kDownloadButton, ControlKind::Button);
  addControl(ctl::kBrowser, ControlKind::Browser);
  addControl(ctl::kTypingTimer, ControlKind::Timer);
  addControl(ctl::kProgressTimer, ControlKind::Timer);
  addControl(ctl::kPictureWindow, ControlKind::Window, utf8ToGbk("相关图片"), true);
  addControl(ctl::kPictureBox, ControlKind::Picture, {}, true);

  Control& list = controls_.find(ctl::kSourceList)->second;
  list.items = {utf8ToGbk("智能芯片①(模糊)"), utf8ToGbk("智能芯片②(精确)"),
                utf8ToGbk("智能芯片③(软件)")};
  list.selection = 0;

  controls_.find(ctl::kTypingTimer)->second.tick = &FormHandlers::typingTimerTick;
  controls_.find(ctl::kProgressTimer)->second.tick = &FormHandlers::progressTimerTick;
  for (auto& [name, c] : controls_) {
    if (c.kind != ControlKind::Timer) continue;
    c.timer = new QTimer(this);
    c.timer->setTimerType(Qt::PreciseTimer);
    timers_.push_back(&c);
    auto slot = c.tick;
    connect(c.timer, &QTimer::timeout, this, [this, slot] {
      if (instantTimers_) return instantRounds();
      // Copy: the handler may replace the table while it runs.
      auto handler = handlers.*slot;
      if (handler) handler();
    });
  }
}

void FormModel::instantRounds() {
  // A pass of the window loop costs more than typing a character, so one timeout runs rounds of
  // ticks (every running timer once a round, in the table's order) for up to a millisecond
  // before the loop serves other events again.
  constexpr qint64 kBudgetNs = 1'000'000;
  QElapsedTimer spent;
  spent.start();
  bool ticked = true;
  while (ticked && instantTimers_ && !shutDown_.load() && spent.nsecsElapsed() < kBudgetNs) {
    ticked = false;
    for (Control* c : timers_) {
      if (!instantTimers_ || !c->timer->isActive()) continue;
      auto handler = handlers.*(c->tick);  // a copy: the handler may replace the table
      if (handler) handler();
      ticked = true;
    }
  }
}

FormModel::~FormModel() {
  shutDown();
}

void FormModel::addControl(std::string_view name, ControlKind kind, Text text,
                           bool inPictureWindow) {
  Control c;
  c.kind = kind;
  c.text = std::move(text);
  c.tally.reset(c.text);
  c.inPictureWindow = inPictureWindow;
  controls_.emplace(std::string(name), std::move(c));
}

bool FormModel::onWindowThread() const {
  return QThread::currentThread() == thread();
}

bool FormModel::callOnWindowThread(const std::function<void()>& fn) const {
  if (onWindowThread()) {
    if (shutDown_.load()) return false;
    fn();
    return true;
  }
  auto call = std::make_shared<QueuedCall>();
  {
    std::lock_guard lock(callMutex_);
    if (shutDown_.load()) return false;
  }
  // fn lives on the caller's stack: the queued functor runs it only while the caller still
  // waits (not abandoned), and the caller leaves only when it is done or was never started.
  QMetaObject::invokeMethod(
      callTarget_,
      [this, call, &fn] {
        {
          std::lock_guard lock(callMutex_);
          if (call->abandoned || shutDown_.load()) return;
          call->running = true;
        }
        fn();
        {
          std::lock_guard lock(callMutex_);
          call->done = true;
        }
        callDone_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(callMutex_);
  callDone_.wait(lock, [&] { return call->done || (shutDown_.load() && !call->running); });
  if (!call->done) call->abandoned = true;
  return call->done;
}

void FormModel::shutDown() {
  {
    std::lock_guard lock(callMutex_);
    shutDown_.store(true);
  }
  callDone_.notify_all();
  for (auto& [name, c] : controls_)
    if (c.timer) c.timer->stop();
  if (pictureLoop_) pictureLoop_->quit();
}

FormModel::Control* FormModel::find(std::string_view control) {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : &it->second;
}

const FormModel::Control* FormModel::find(std::string_view control) const {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : &it->second;
}

bool FormModel::isOpen(const Control& c) const {
  return c.inPictureWindow ? pictureOpen_ : mainOpen_.load();
}

void FormModel::changed(std::string_view control, Property property) {
  emit propertyChanged(QString::fromUtf8(control.data(), static_cast<int>(control.size())),
                       property);
}

PropertyValue FormModel::readProperty(std::string_view control, Property property) {
  PropertyValue result = emptyValue(property);
  callOnWindowThread([&] { result = readLocal(control, property); });
  return result;
}

void FormModel::writeProperty(std::string_view control, Property property, PropertyValue value) {
  callOnWindowThread([&] { writeLocal(control, property, std::move(value)); });
}

PropertyValue FormModel::readLocal(std::string_view control, Property property) const {
  const Control* c = find(control);
  if (!c || !isOpen(*c) || !hasProperty(c->kind, property)) return emptyValue(property);
  switch (property) {
    case Property::Content:
    case Property::Caption:
    case Property::Title:
      return c->text;
    case Property::Disabled:
      return c->disabled;
    case Property::Period:
      return c->period;
    case Property::Selection:
      return c->selection;
    case Property::Address:
      return c->address;
    case Property::Picture:
      return c->picture;
  }
  return emptyValue(property);
}

void FormModel::writeLocal(std::string_view control, Property property, PropertyValue value) {
  Control* c = find(control);
  if (!c || !isOpen(*c) || !hasProperty(c->kind, property)) return;
  // A value of the wrong type for the property is ignored like a property the control lacks.
  auto* text = std::get_if<Text>(&value);
  auto* flag = std::get_if<bool>(&value);
  auto* number = std::get_if<int>(&value);
  auto* bytes = std::get_if<Bytes>(&value);
  switch (property) {
    case Property::Content:
      if (!text) return;
      c->text = std::move(*text);
      c->tally.reset(c->text);
      break;
    case Property::Caption:
    case Property::Title:
      if (!text) return;
      c->text = std::move(*text);
      break;
    case Property::Disabled:
      if (!flag) return;
      c->disabled = *flag;
      break;
    case Property::Period:
      if (!number) return;
      applyPeriod(*c, *number);
      break;
    case Property::Selection:
      if (!number) return;
      c->selection = (*number >= 0 && *number < static_cast<int>(c->items.size())) ? *number : -1;
      break;
    case Property::Address:
      if (!text) return;
      c->address = std::move(*text);
      // Setting the address navigates, every time; only web addresses go anywhere.
      if (browserOpener_ && isBrowsableAddress(c->address)) browserOpener_(c->address);
      break;
    case Property::Picture:
      if (!bytes) return;
      c->picture = std::move(*bytes);
      break;
  }
  changed(control, property);
}

void FormModel::applyPeriod(Control& c, int period) {
  if (period < 0) period = 0;
  // The same period leaves a running timer alone: its next tick is not delayed.
  if (period == c.period) return;
  c.period = period;
  if (period == 0)
    c.timer->stop();
  else
    restartTimer(c);
}

void FormModel::restartTimer(Control& c) {
  // start() restarts a running timer: the first tick comes one period after this write.
  c.timer->start(instantTimers_ ? 0 : c.period);
}

void FormModel::setInstantTimers(bool on) {
  callOnWindowThread([&] {
    if (instantTimers_ == on) return;
    instantTimers_ = on;
    for (auto& [name, c] : controls_)
      if (c.timer && c.period > 0) restartTimer(c);
  });
}

void FormModel::appendText(std::string_view control, std::string_view text) {
  callOnWindowThread([&] {
    Control* c = find(control);
    if (!c || !isOpen(*c) || !hasProperty(c->kind, Property::Content)) return;
    c->text.append(text);
    c->tally.append(text);
    emit textAppended(QString::fromUtf8(control.data(), static_cast<int>(control.size())),
                      QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  });
}

int FormModel::characterCount(std::string_view box) {
  int count = 0;
  callOnWindowThread([&] {
    const Control* c = find(box);
    if (c && isOpen(*c) && hasProperty(c->kind, Property::Content)) count = c->tally.count();
  });
  return count;
}

void FormModel::reserveContent(std::string_view box, std::size_t bytes) {
  callOnWindowThread([&] {
    Control* c = find(box);
    if (c && isOpen(*c) && hasProperty(c->kind, Property::Content))
      c->text.reserve(c->text.size() + bytes);
  });
}

void FormModel::setFocus(std::string_view control) {
  callOnWindowThread([&] {
    const Control* c = find(control);
    if (!c || !isOpen(*c)) return;
    focus_ = std::string(control);
    emit focusRequested(QString::fromUtf8(control.data(), static_cast<int>(control.size())));
  });
}

void FormModel::openPictureWindow() {
  callOnWindowThread([&] {
    // The window is modal: while it is open nothing else can open it a second time.
    if (pictureOpen_ || !mainOpen_) return;
    for (auto& [name, c] : controls_) {
      if (!c.inPictureWindow) continue;
      c.picture = Bytes();  // its controls start empty every time
    }
    pictureOpen_ = true;
    ++pictureOpening_;
    emit pictureWindowOpened();
    if (auto handler = handlers.pictureWindowCreated) handler();
    if (!pictureOpen_) return;  // closed by the created handler already
    QEventLoop loop;
    pictureLoop_ = &loop;
    // The loop also ends when the application quits (Qt exits every running loop of the
    // thread); the window is then closed with it.
    loop.exec();
    pictureLoop_ = nullptr;
    closePictureLocal();
  });
}

void FormModel::closePictureLocal() {
  if (!pictureOpen_) return;
  pictureOpen_ = false;
  if (pictureLoop_) pictureLoop_->quit();
  if (auto handler = handlers.pictureWindowClosing) handler();
  emit pictureWindowClosed();
}

void FormModel::closePictureWindow() {
  if (onWindowThread()) {
    closePictureLocal();
    return;
  }
  // From another thread: hand it over without waiting, so that a caller never blocks on a
  // window loop (the picture loader may close from its worker in the terminal tool).
  QMetaObject::invokeMethod(
      this, [this] { closePictureLocal(); }, Qt::QueuedConnection);
}

void FormModel::closeMainWindow() {
  callOnWindowThread([&] {
    if (!mainOpen_) return;
    // Closed first, so that nothing the picture window's closing handler starts (the download
    // offer) reaches the main window's controls any more.
    mainOpen_ = false;
    for (auto& [name, c] : controls_)
      if (c.timer) c.timer->stop();
    closePictureLocal();
  });
}

void FormModel::runOnWindowThread(const std::function<void()>& fn) {
  callOnWindowThread(fn);
}

void FormModel::raiseMainWindowCreated() {
  callOnWindowThread([&] {
    if (createdRaised_) return;
    createdRaised_ = true;
    if (auto handler = handlers.mainWindowCreated) handler();
  });
}

void FormModel::click(std::string_view button) {
  callOnWindowThread([&] {
    const Control* c = find(button);
    if (!c || !isOpen(*c) || c->kind != ControlKind::Button || c->disabled) return;
    std::function<void()> handler;
    if (button == ctl::kAskButton)
      handler = handlers.askClicked;
    else if (button == ctl::kRetypeButton)
      handler = handlers.retypeClicked;
    else if (button == ctl::kDownloadButton)
      handler = handlers.downloadClicked;
    if (handler) handler();
  });
}

void FormModel::editByUser(std::string_view box, Text gbk) {
  callOnWindowThread([&] { writeLocal(box, Property::Content, std::move(gbk)); });
}

void FormModel::selectByUser(std::string_view list, int index) {
  callOnWindowThread([&] { writeLocal(list, Property::Selection, index); });
}

bool FormModel::pictureWindowOpen() const {
  bool open = false;
  callOnWindowThread([&] { open = pictureOpen_; });
  return open;
}

bool FormModel::otherOpening(int opening, std::string_view control) const {
  const Control* c = find(control);
  return c && c->inPictureWindow && opening != pictureOpening_;
}

std::shared_ptr<ControlAccess> FormModel::pictureOpeningAccess() {
  int opening = 0;
  callOnWindowThread([&] { opening = pictureOpening_; });
  return std::make_shared<OpeningAccess>(*this, opening);
}

bool FormModel::mainWindowOpen() const {
  return mainOpen_.load() && !shutDown_.load();
}

std::string FormModel::focusedControl() const {
  std::string focus;
  callOnWindowThread([&] { focus = focus_; });
  return focus;
}

ControlKind FormModel::kindOf(std::string_view control) const {
  const Control* c = find(control);
  return c ? c->kind : ControlKind::EditBox;
}

bool FormModel::hasControl(std::string_view control) const {
  return find(control) != nullptr;
}

std::vector<Text> FormModel::items(std::string_view list) const {
  const Control* c = find(list);
  return c ? c->items : std::vector<Text>();
}

void FormModel::setBrowserOpener(std::function<void(const Text&)> opener) {
  callOnWindowThread([&] { browserOpener_ = std::move(opener); });
}

}  // namespace qelvora
