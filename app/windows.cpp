#include "app/windows.h"

#include <QComboBox>
#include <QCommonStyle>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QTextEdit>
#include <QUiLoader>

#include "app/accessibility.h"
#include "app/close_requests.h"
#include "resources/ui/ui_resources.h"
#include "web/encoding.h"

namespace qelvora {

namespace {

std::string toName(const QString& name) {
  return name.toUtf8().toStdString();
}

Text fromWidget(const QString& text) {
  QByteArray utf8 = text.toUtf8();
  return utf8ToGbk(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

// Widget text of GBK bytes: a lossy rendering for bytes that are not valid GBK; line ends shown
// as line breaks whatever their form.
QString displayText(std::string_view gbk) {
  Text utf8 = gbkToUtf8(gbk);
  QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  // The logic writes CR LF; a text widget would make two line breaks of it.
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

// A caption bar and a close box, no minimise or maximise box, not resizable. A dialog is a
// transient child of its parent window (WM_TRANSIENT_FOR on X11, the xdg parent on Wayland).
void makeFixedWindow(QWidget* w, int width, int height, Qt::WindowType type = Qt::Window) {
  w->setWindowFlags(type | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                    Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                    Qt::MSWindowsFixedSizeDialogHint);
  w->setFixedSize(width, height);
}

// Set on a window once it has been centred with its frame known.
constexpr char kFramedCentre[] = "qelvoraFramedCentre";

// Puts the window's outer frame, decorations included, in the middle of the available area of its
// screen (move() places the frame's top-left corner). Until the window manager has framed the
// window its frame is the client area alone; the view centres it again once the frame is known.
void centre(QWidget* w) {
  QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize frame = w->frameGeometry().size();
  w->move(area.x() + (area.width() - frame.width()) / 2,
          area.y() + (area.height() - frame.height()) / 2);
  if (frame != w->size()) w->setProperty(kFramedCentre, true);
}

// The common style draws a group box's title in the frame's top line, which then runs at half the
// title's height: the controls at their layout positions cover no line of the frame. Other
// controls keep the application's style.
QStyle* groupBoxStyle() {
  static QStyle* style = [] {
    auto* common = new QCommonStyle;
    common->setParent(QCoreApplication::instance());
    return common;
  }();
  return style;
}

void styleGroupBoxes(QWidget* root) {
  for (auto* group : root->findChildren<QGroupBox*>()) group->setStyle(groupBoxStyle());
}

// A layout from the resources (":/ui/main_window.ui"); nullptr when it cannot be loaded.
QWidget* loadLayout(const QString& resource) {
  initUiResources();
  QFile file(resource);
  if (!file.open(QFile::ReadOnly)) return nullptr;
  QUiLoader loader;
  return loader.load(&file);
}

}  // namespace

WindowViews::WindowViews(FormModel& model) : model_(model) {
  installAccessibility();
  main_ = loadLayout(QStringLiteral(":/ui/main_window.ui"));
  Q_ASSERT(main_);
  makeFixedWindow(main_, kMainClientWidth, kMainClientHeight);
  closeRequests_ = watchCloseRequests(main_);
  styleGroupBoxes(main_);
  main_->installEventFilter(this);
  bindInputs(main_);
  syncAll(main_);

  connect(&model_, &FormModel::propertyChanged, this, &WindowViews::syncProperty);
  connect(&model_, &FormModel::textAppended, this, &WindowViews::appendToBox);
  connect(&model_, &FormModel::focusRequested, this, [this](const QString& name) {
    if (QWidget* w = control(toName(name))) w->setFocus(Qt::OtherFocusReason);
  });
  connect(&model_, &FormModel::pictureWindowOpened, this, &WindowViews::openPicture);
  connect(&model_, &FormModel::pictureWindowClosed, this, &WindowViews::closePicture);
}

WindowViews::~WindowViews() {
  delete picture_.data();
  delete main_.data();
}

QWidget* WindowViews::control(std::string_view name) const {
  QString qname = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
  for (QWidget* root : {main_.data(), picture_.data()}) {
    if (!root) continue;
    if (root->objectName() == qname) return root;
    // The picture window is a child of the main window: its controls are its own, and a closed
    // one may not have been deleted yet.
    for (auto* w : root->findChildren<QWidget*>(qname))
      if (w->window() == root) return w;
  }
  return nullptr;
}

void WindowViews::showMainWindow() {
  centre(main_);
  main_->show();
  centre(main_);
}

void WindowViews::bindInputs(QWidget* root) {
  for (auto* edit : root->findChildren<QLineEdit*>()) {
    std::string name = toName(edit->objectName());
    // The model follows the box however its text changed (typing, input method, paste, drop,
    // assistive technology), except when the view itself shows the model's bytes: their
    // rendering must not replace them.
    connect(edit, &QLineEdit::textChanged, this, [this, name](const QString& text) {
      if (!showingModel_) model_.editByUser(name, fromWidget(text));
    });
    // Enter in the question box asks, as a click on 按钮1 would: only while it is enabled.
    if (name == ctl::kQuestionBox)
      connect(edit, &QLineEdit::returnPressed, this, [this] { model_.click(ctl::kAskButton); });
  }
  for (auto* list : root->findChildren<QComboBox*>()) {
    std::string name = toName(list->objectName());
    connect(list, &QComboBox::activated, this,
            [this, name](int index) { model_.selectByUser(name, index); });
  }
  for (auto* button : root->findChildren<QPushButton*>()) {
    std::string name = toName(button->objectName());
    connect(button, &QPushButton::clicked, this, [this, name] { model_.click(name); });
    if (name == ctl::kAskButton) button->installEventFilter(this);  // Enter presses it
  }
}

void WindowViews::syncAll(QWidget* root) {
  static const Property kAll[] = {Property::Content,   Property::Caption, Property::Disabled,
                                  Property::Selection, Property::Title,   Property::Picture};
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (QWidget* w : widgets) {
    if (w->objectName().isEmpty() || !model_.hasControl(toName(w->objectName()))) continue;
    for (Property p : kAll) syncProperty(w->objectName(), p);
  }
}

void WindowViews::syncProperty(const QString& name, Property property) {
  std::string key = toName(name);
  QWidget* w = control(key);
  if (!w) return;
  // Only the properties the control's kind has: a label must not take a picture's empty value.
  if (!hasProperty(model_.kindOf(key), property)) return;
  PropertyValue value = model_.readProperty(key, property);
  const Text* text = std::get_if<Text>(&value);
  switch (property) {
    case Property::Content:
      // The hidden stores (编辑框1, 编辑框5, 编辑框6) are never shown: the model's bytes are all
      // there is to them, and mirroring a large transcript at every clean-up step would cost.
      if (w->isHidden()) break;
      if (auto* line = qobject_cast<QLineEdit*>(w)) {
        // Leave the widget alone when it already shows these bytes (the user's own edit), so
        // that the caret stays where the user put it.
        if (fromWidget(line->text()) != *text) showModelText(line, *text);
      } else if (auto* box = qobject_cast<QTextEdit*>(w)) {
        box->setPlainText(displayText(*text));
        box->moveCursor(QTextCursor::End);
        box->ensureCursorVisible();
        box->setProperty("qelvoraEndsWithCr", !text->empty() && text->back() == '\r');
      }
      break;
    case Property::Caption:
      if (auto* button = qobject_cast<QPushButton*>(w))
        button->setText(displayText(*text));
      else if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(displayText(*text));
      else if (auto* group = qobject_cast<QGroupBox*>(w))
        group->setTitle(displayText(*text));
      break;
    case Property::Title:
      if (w->isWindow()) w->setWindowTitle(displayText(*text));
      break;
    case Property::Disabled:
      if (qobject_cast<QPushButton*>(w)) w->setEnabled(!std::get<bool>(value));
      break;
    case Property::Selection:
      if (auto* list = qobject_cast<QComboBox*>(w)) list->setCurrentIndex(std::get<int>(value));
      break;
    case Property::Picture:
      if (auto* label = qobject_cast<QLabel*>(w)) {
        const Bytes& bytes = std::get<Bytes>(value);
        QPixmap pixmap;
        if (!bytes.empty() && pixmap.loadFromData(bytes.bytes(), static_cast<uint>(bytes.size())))
          label->setPixmap(pixmap);
        else
          label->clear();
      }
      break;
    default:
      break;
  }
}

void WindowViews::appendToBox(const QString& name, const QByteArray& bytes) {
  QWidget* w = control(toName(name));
  if (!w || w->isHidden()) return;  // see syncProperty: hidden stores are not mirrored
  // The answer box scrolls by pixels (a text edit, not a plain one), its thumb in proportion.
  auto* box = qobject_cast<QTextEdit*>(w);
  if (!box || bytes.isEmpty()) {
    if (auto* line = qobject_cast<QLineEdit*>(w)) showModelText(line, model_.content(toName(name)));
    return;
  }
  std::string_view piece(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  // A CR and its LF may arrive in separate appends: the CR already broke the line.
  if (box->property("qelvoraEndsWithCr").toBool() && piece.front() == '\n') piece.remove_prefix(1);
  box->setProperty("qelvoraEndsWithCr", bytes.endsWith('\r'));
  if (piece.empty()) return;
  QTextCursor cursor = box->textCursor();
  cursor.movePosition(QTextCursor::End);
  box->setTextCursor(cursor);
  box->insertPlainText(displayText(piece));
  box->ensureCursorVisible();
}

void WindowViews::showModelText(QLineEdit* line, const Text& gbk) {
  showingModel_ = true;
  line->setText(displayText(gbk));
  showingModel_ = false;
}

void WindowViews::openPicture() {
  if (picture_) return;
  picture_ = loadLayout(QStringLiteral(":/ui/picture_window.ui"));
  if (!picture_) return;
  picture_->setParent(main_);
  makeFixedWindow(picture_, kPictureClientWidth, kPictureClientHeight, Qt::Dialog);
  picture_->setWindowModality(Qt::ApplicationModal);
  picture_->installEventFilter(this);
  syncAll(picture_);
  centre(picture_);
  picture_->show();
}

void WindowViews::closePicture() {
  if (!picture_) return;
  QWidget* w = picture_;
  picture_ = nullptr;
  w->removeEventFilter(this);
  w->hide();
  w->deleteLater();
}

bool WindowViews::eventFilter(QObject* watched, QEvent* event) {
  // The window manager frames a window after it has been shown; the first move or paint with the
  // frame known centres it again, frame included. After that the user places it.
  if (event->type() == QEvent::Move || event->type() == QEvent::Paint) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && (w == main_ || w == picture_) && !w->property(kFramedCentre).toBool() &&
        w->frameGeometry().size() != w->size())
      centre(w);
  }
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    // Esc closes the picture window as its close box does, download offer included.
    if (key == Qt::Key_Escape && watched == picture_) {
      picture_->close();
      return true;
    }
    // Enter on the focused ask button presses it, as Space does.
    if (enter && watched == control(ctl::kAskButton)) {
      static_cast<QPushButton*>(watched)->click();
      return true;
    }
  }
  if (event->type() == QEvent::Close) {
    if (watched == picture_) {
      model_.closePictureWindow();
    } else if (watched == main_) {
      model_.closeMainWindow();
      QCoreApplication::quit();
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace qelvora
