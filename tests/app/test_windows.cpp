// The widget windows on the offscreen platform: the layout and how it is drawn, the model and
// widgets following each other (typed text becomes GBK bytes, model bytes stay exact, the picture
// window), the keyboard, and what assistive technology reads.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>

#include "app/form_model.h"
#include "app/startup.h"
#include "app/windows.h"
#include "tests/support/qt_events.h"
#include "tests/support/qt_typing.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::serveUntil;
using testing::typeText;

struct Geometry {
  const char* name;
  const char* parent;  // object name of the parent widget
  int x, y, w, h;
  bool hidden;
};

// The layout table, positions within the parent.
const Geometry kMainLayout[] = {
    {"分组框3", "主窗口", 8, 8, 360, 72, false},
    {"标签2", "分组框3", 8, 18, 344, 42, false},
    {"分组框1", "主窗口", 8, 83, 360, 45, false},
    {"编辑框3", "分组框1", 5, 17, 219, 20, false},
    {"组合框1", "分组框1", 228, 17, 128, 20, false},
    {"按钮1", "主窗口", 137, 133, 96, 24, false},
    {"分组框2", "主窗口", 8, 160, 360, 144, false},
    {"编辑框4", "分组框2", 6, 16, 346, 120, false},
    {"编辑框1", "主窗口", 608, 24, 24, 24, true},
    {"编辑框2", "主窗口", 80, 342, 32, 24, false},
    {"标签1", "主窗口", 6, 350, 66, 24, false},
    {"编辑框5", "主窗口", 376, 56, 304, 112, true},
    {"编辑框6", "主窗口", 8, 304, 320, 16, true},
    {"按钮2", "主窗口", 400, 280, 64, 24, true},
    {"按钮3", "主窗口", 208, 352, 56, 24, false},
    {"超文本浏览框1", "主窗口", 408, 176, 248, 264, false},
};

TEST(Windows, MainWindowLayout) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  QWidget* main = views.mainWindow();
  ASSERT_NE(main, nullptr);
  const QRect client(0, 0, kMainClientWidth, kMainClientHeight);
  for (const auto& g : kMainLayout) {
    SCOPED_TRACE(g.name);
    QWidget* w = views.control(g.name);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(w->parentWidget(), nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromUtf8(g.parent));
    EXPECT_EQ(w->geometry(), QRect(g.x, g.y, g.w, g.h));
    EXPECT_EQ(w->isHidden(), g.hidden);
    // Visible controls either lie inside the client area or wholly outside it.
    QRect inMain(w->mapTo(main, QPoint(0, 0)), w->size());
    if (!g.hidden) {
      EXPECT_TRUE(client.contains(inMain) || !client.intersects(inMain));
    }
  }
  // 编辑框2, 标签1 and 按钮3 lie below the client area, the browser to its right.
  for (const char* below : {"编辑框2", "标签1", "按钮3"})
    EXPECT_GE(views.control(below)->y(), kMainClientHeight) << below;
  EXPECT_GE(views.control("超文本浏览框1")->x(), kMainClientWidth);

  EXPECT_EQ(main->size(), QSize(kMainClientWidth, kMainClientHeight));
  EXPECT_EQ(main->minimumSize(), main->maximumSize());
  Qt::WindowFlags flags = main->windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_EQ(main->windowTitle(), QStringLiteral("Qelvora"));

  auto* answer = qobject_cast<QTextEdit*>(views.control("编辑框4"));
  ASSERT_NE(answer, nullptr);
  EXPECT_TRUE(answer->isReadOnly());
  EXPECT_EQ(answer->lineWrapMode(), QTextEdit::WidgetWidth);
  auto* list = qobject_cast<QComboBox*>(views.control("组合框1"));
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->isEditable());
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_EQ(list->itemText(1), QStringLiteral("智能芯片②(精确)"));
  EXPECT_EQ(qobject_cast<QLineEdit*>(views.control("编辑框2"))->text(), QStringLiteral("40"));
  struct {
    const char* label;
    QString text;
  } labels[] = {
      {"标签2",
       QStringLiteral("欢迎使用Qelvora\n\n本系统会根据你所提及的问题给予最准确最科学的解答")},
      {"标签1", QStringLiteral("速度(毫秒)：")},
  };
  for (const auto& l : labels)
    EXPECT_EQ(qobject_cast<QLabel*>(views.control(l.label))->text(), l.text) << l.label;
  EXPECT_EQ(qobject_cast<QPushButton*>(views.control("按钮1"))->text(), QStringLiteral("智能解答"));
}

TEST(Windows, TypedTextBecomesGbkBytesAndModelBytesStayExact) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  auto* question = qobject_cast<QLineEdit*>(views.control("编辑框3"));
  ASSERT_NE(question, nullptr);
  question->setFocus();
  typeText(question, QStringLiteral("北京时间?"));
  EXPECT_EQ(model.content(ctl::kQuestionBox), utf8ToGbk("北京时间?"));

  auto* speed = qobject_cast<QLineEdit*>(views.control("编辑框2"));
  speed->selectAll();
  typeText(speed, QStringLiteral("１０"));
  EXPECT_EQ(model.content(ctl::kSpeedBox), utf8ToGbk("１０"));

  // Bytes that are not GBK: the widget shows some rendering, the model keeps the bytes.
  const Text odd("ab\x81\xff", 4);
  model.setContent(ctl::kQuestionBox, odd);
  EXPECT_EQ(model.content(ctl::kQuestionBox), odd);
  EXPECT_TRUE(question->text().startsWith(QStringLiteral("ab")));
  // Only a user edit replaces them.
  question->end(false);
  QTest::keyClicks(question, QStringLiteral("c"));
  QByteArray shown = question->text().toUtf8();
  EXPECT_EQ(model.content(ctl::kQuestionBox), utf8ToGbk(shown.toStdString()));
  EXPECT_EQ(model.content(ctl::kQuestionBox).back(), 'c');
}

// Whatever the question box shows is what the model holds, however the text got there.
TEST(Windows, ModelFollowsTheBoxHoweverItsTextChanged) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  auto* box = qobject_cast<QLineEdit*>(views.control("编辑框3"));
  ASSERT_NE(box, nullptr);
  box->setFocus();
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(box);
  ASSERT_NE(face, nullptr);
  ASSERT_NE(face->editableTextInterface(), nullptr);
  const struct {
    const char* how;
    std::function<void(const QString&)> put;
  } ways[] = {
      {"assistive text", [&](const QString& t) { face->setText(QAccessible::Value, t); }},
      {"assistive edit",
       [&](const QString& t) {
         face->editableTextInterface()->replaceText(0, int(box->text().size()), t);
       }},
      {"input method",
       [&](const QString& t) {
         box->clear();
         QInputMethodEvent commit;
         commit.setCommitString(t);
         QApplication::sendEvent(box, &commit);
       }},
      {"paste",
       [&](const QString& t) {
         box->clear();
         QApplication::clipboard()->setText(t);
         box->paste();
       }},
  };
  for (const auto& way : ways) {
    const QString text = QStringLiteral("彩虹是怎样形成的 ") + way.how;
    way.put(text);
    EXPECT_EQ(box->text(), text) << way.how;
    EXPECT_EQ(model.content(ctl::kQuestionBox), utf8ToGbk(text.toStdString())) << way.how;
  }
}

// The edit boxes' own menu speaks the window's language.
TEST(Windows, EditMenuInChinese) {
  ASSERT_TRUE(installQtTranslations(*QCoreApplication::instance()))
      << "Qt's translations are missing (package qt6-translations-l10n)";
  FormModel model;
  WindowViews views(model);
  std::unique_ptr<QMenu> menu(
      qobject_cast<QLineEdit*>(views.control("编辑框3"))->createStandardContextMenu());
  QStringList texts;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) texts << a->text();
  EXPECT_TRUE(texts.join(' ').contains(QStringLiteral("复制"))) << texts.join(' ').toStdString();
  EXPECT_FALSE(texts.join(' ').contains(QStringLiteral("Copy"))) << texts.join(' ').toStdString();
}

TEST(Windows, WidgetsFollowTheModel) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  auto* answer = qobject_cast<QTextEdit*>(views.control("编辑框4"));
  ASSERT_NE(answer, nullptr);
  // Pieces as the typing effect appends them: CR and LF separately, two-byte characters whole.
  for (const Text& piece :
       {Text("a"), Text("\r"), Text("\n"), utf8ToGbk("答"), Text("\r"), Text("\n"), Text("b")})
    model.appendText(ctl::kAnswerBox, piece);
  EXPECT_EQ(answer->toPlainText(), QStringLiteral("a\n答\nb"));
  EXPECT_EQ(model.content(ctl::kAnswerBox), "a\r\n" + utf8ToGbk("答") + "\r\nb");
  model.setContent(ctl::kAnswerBox, "x\r\ny");
  EXPECT_EQ(answer->toPlainText(), QStringLiteral("x\ny"));

  auto* ask = qobject_cast<QPushButton*>(views.control("按钮1"));
  model.setDisabled(ctl::kAskButton, true);
  EXPECT_FALSE(ask->isEnabled());
  int asked = 0;
  model.handlers.askClicked = [&] { ++asked; };
  QTest::mouseClick(ask, Qt::LeftButton);
  EXPECT_EQ(asked, 0);
  model.setDisabled(ctl::kAskButton, false);
  QTest::mouseClick(ask, Qt::LeftButton);
  EXPECT_EQ(asked, 1);

  model.setTitle(utf8ToGbk("Qelvora      进度：3/10"));
  EXPECT_EQ(views.mainWindow()->windowTitle(), QStringLiteral("Qelvora      进度：3/10"));

  auto* list = qobject_cast<QComboBox*>(views.control("组合框1"));
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(model.selection(ctl::kSourceList), list->currentIndex());
  EXPECT_EQ(model.selection(ctl::kSourceList), 1);

  views.mainWindow()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(views.mainWindow()));
  model.setFocus(ctl::kAnswerBox);
  EXPECT_EQ(QApplication::focusWidget(), views.control("编辑框4"));
  model.setFocus(ctl::kQuestionBox);
  EXPECT_EQ(QApplication::focusWidget(), views.control("编辑框3"));
  EXPECT_EQ(model.focusedControl(), std::string(ctl::kQuestionBox));
}

TEST(Windows, PictureWindowShowsThePictureAndClosesOnce) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  QImage image(40, 30, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(image.save(&buffer, "PNG"));
  const Bytes png(encoded.toStdString());

  int closing = 0;
  QSize shownSize;
  QSize windowSize;
  bool modal = false, childOfMain = false;
  model.handlers.pictureWindowClosing = [&] { ++closing; };
  model.handlers.pictureWindowCreated = [&] {
    model.writeProperty(ctl::kPictureBox, Property::Picture, png);
    QTimer::singleShot(0, [&] {
      QWidget* window = views.pictureWindow();
      ASSERT_NE(window, nullptr);
      windowSize = window->size();
      modal = window->isModal();
      // A transient child of the main window: the window system's parent is the main window.
      childOfMain = window->windowHandle() &&
                    window->windowHandle()->transientParent() == views.mainWindow()->windowHandle();
      auto* box = qobject_cast<QLabel*>(views.control("图片框1"));
      ASSERT_NE(box, nullptr);
      shownSize = box->pixmap().size();
      window->close();  // the user closes it
    });
  };
  model.openPictureWindow();
  EXPECT_EQ(closing, 1);
  EXPECT_EQ(shownSize, QSize(40, 30));
  EXPECT_EQ(windowSize, QSize(kPictureClientWidth, kPictureClientHeight));
  EXPECT_TRUE(modal);
  EXPECT_TRUE(childOfMain);
  EXPECT_EQ(views.pictureWindow(), nullptr);
  EXPECT_FALSE(model.pictureWindowOpen());
  // A late picture goes nowhere.
  model.writeProperty(ctl::kPictureBox, Property::Picture, png);
  EXPECT_EQ(views.control("图片框1"), nullptr);
}

// Every pixel a group box draws itself (frame lines, title) still shows with its controls on top.
TEST(Windows, NoControlCoversAGroupBoxLine) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  const auto groups = views.mainWindow()->findChildren<QGroupBox*>();
  ASSERT_EQ(groups.size(), 3);
  for (QGroupBox* group : groups) {
    SCOPED_TRACE(group->objectName().toStdString());
    auto draw = [group](QWidget::RenderFlags flags) {
      QImage image(group->size(), QImage::Format_RGB32);
      group->render(&image, {}, {}, flags);
      return image;
    };
    const QImage bare = draw(QWidget::DrawWindowBackground);
    const QImage full = draw(QWidget::DrawWindowBackground | QWidget::DrawChildren);
    const QRgb background = group->palette().window().color().rgb();
    int drawn = 0, covered = 0;
    for (int y = 0; y < bare.height(); ++y)
      for (int x = 0; x < bare.width(); ++x) {
        if (bare.pixel(x, y) == background) continue;
        ++drawn;
        if (full.pixel(x, y) != bare.pixel(x, y)) ++covered;
      }
    EXPECT_GT(drawn, 2 * (group->width() + group->height()));  // a whole frame and a title
    EXPECT_EQ(covered, 0);
  }
}

// The answer box scrolls by pixels, its thumb in proportion to the text shown, and follows each
// typed character to the end.
TEST(Windows, AnswerBoxScrollsByPixelsAndFollowsTheEnd) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  auto* box = qobject_cast<QTextEdit*>(views.control("编辑框4"));
  ASSERT_NE(box, nullptr);
  QScrollBar* bar = box->verticalScrollBar();
  // Paragraphs of very different lengths: a long one wraps over many lines.
  Text text;
  for (int p = 0; p < 12; ++p)
    text += utf8ToGbk(std::string(p % 3 == 0 ? 60 : 1, 'x') + "答") + "\r\n";
  double lastShare = 1.0;
  int grew = 0, shrank = 0, behind = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t width = static_cast<unsigned char>(text[at]) >= 0x81 ? 2 : 1;
    model.appendText(ctl::kAnswerBox, text.substr(at, width));
    at += width;
    const double share = double(bar->pageStep()) / double(bar->maximum() + bar->pageStep());
    if (share > lastShare + 1e-9) ++grew;
    if (share < lastShare - 1e-9) ++shrank;
    lastShare = share;
    if (!box->viewport()->rect().contains(box->cursorRect())) ++behind;  // the caret is at the end
  }
  EXPECT_EQ(grew, 0) << "the thumb jumped back to a larger size";
  EXPECT_GT(shrank, 10);
  EXPECT_EQ(behind, 0) << "the box fell behind the typed text";
  EXPECT_EQ(bar->pageStep(), box->viewport()->height());
  EXPECT_NEAR(bar->maximum() + bar->pageStep(), box->document()->size().height(), 1.0);
}

// Tab visits the controls of the layout in order, the speed box below the visible area included,
// the never shown ones not; Enter in the question box or on the ask button asks once, and not
// while the ask button is disabled; Esc closes the picture window as its close box does.
TEST(Windows, KeyboardReachesTheControlsEnterAsksEscCloses) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  views.mainWindow()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(views.mainWindow()));
  QWidget* question = views.control("编辑框3");
  question->setFocus();
  std::vector<std::string> chain;
  for (int i = 0; i < 5; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    chain.push_back(QApplication::focusWidget()->objectName().toStdString());
  }
  EXPECT_EQ(chain, (std::vector<std::string>{"组合框1", "按钮1", "编辑框4", "编辑框2", "编辑框3"}));

  int asked = 0;
  model.handlers.askClicked = [&] {
    ++asked;
    model.setDisabled(ctl::kAskButton, true);  // as the real handler does
  };
  QWidget* button = views.control("按钮1");
  struct {
    QWidget* target;
    Qt::Key key;
    bool disabledBefore;
    int askedAfter;
  } presses[] = {{question, Qt::Key_Return, false, 1}, {question, Qt::Key_Return, true, 1},
                 {question, Qt::Key_Enter, false, 2},  {button, Qt::Key_Return, false, 3},
                 {button, Qt::Key_Enter, false, 4},    {button, Qt::Key_Space, false, 5}};
  for (const auto& p : presses) {
    model.setDisabled(ctl::kAskButton, p.disabledBefore);
    if (!p.disabledBefore) p.target->setFocus();
    QTest::keyClick(p.target, p.key);
    EXPECT_EQ(asked, p.askedAfter) << p.target->objectName().toStdString() << " key " << p.key;
  }
  QTest::keyClick(views.control("组合框1"), Qt::Key_Return);
  EXPECT_EQ(asked, 5) << "Enter asks from the question box and the button only";

  int closing = 0;
  model.handlers.pictureWindowClosing = [&] { ++closing; };
  model.handlers.pictureWindowCreated = [&] {
    QTimer::singleShot(1, &model, [&] { QTest::keyClick(views.pictureWindow(), Qt::Key_Escape); });
  };
  model.openPictureWindow();
  EXPECT_EQ(closing, 1);
  EXPECT_FALSE(model.pictureWindowOpen());
}

// Assistive technology finds a name for every control of the visible area, descriptions where
// they help, and the answer box's text.
TEST(Windows, AccessibleNamesDescriptionsAndTheAnswerText) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  QWidget* main = views.mainWindow();
  const QRect client(0, 0, kMainClientWidth, kMainClientHeight);
  int named = 0;
  for (QWidget* w : main->findChildren<QWidget*>()) {
    if (!model.hasControl(w->objectName().toStdString()) || !w->isVisibleTo(main)) continue;
    if (!client.intersects(QRect(w->mapTo(main, QPoint(0, 0)), w->size()))) continue;
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    ASSERT_NE(face, nullptr);
    EXPECT_FALSE(face->text(QAccessible::Name).isEmpty()) << w->objectName().toStdString();
    ++named;
  }
  EXPECT_EQ(named, 8);  // three group boxes, the intro, question, list, button and answer
  for (const char* name : {"编辑框3", "组合框1", "按钮1", "编辑框4", "标签2"}) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(views.control(name));
    EXPECT_FALSE(face->text(QAccessible::Description).isEmpty()) << name;
  }

  for (const Text& piece : {utf8ToGbk("问："), Text("\r"), Text("\n"), utf8ToGbk("答")})
    model.appendText(ctl::kAnswerBox, piece);
  QAccessibleTextInterface* text =
      QAccessible::queryAccessibleInterface(views.control("编辑框4"))->textInterface();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->text(0, text->characterCount()), QStringLiteral("问：\n答"));

  QString pictureName, pictureDescription;
  model.handlers.pictureWindowCreated = [&] {
    QTimer::singleShot(1, &model, [&] {
      QAccessibleInterface* face = QAccessible::queryAccessibleInterface(views.control("图片框1"));
      pictureName = face->text(QAccessible::Name);
      pictureDescription = face->text(QAccessible::Description);
      model.closePictureWindow();
    });
  };
  model.openPictureWindow();
  EXPECT_FALSE(pictureName.isEmpty());
  EXPECT_FALSE(pictureDescription.isEmpty());
}

// The windows are a frame and a modal dialog; the list is named "解答来源" with its item as
// value; what lies outside the visible area is off-screen, what lies inside is not.
TEST(Windows, AccessibleRolesListValueAndOffScreenControls) {
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  const auto face = [&](const char* name) {
    return QAccessible::queryAccessibleInterface(views.control(name));
  };
  EXPECT_EQ(face("主窗口")->role(), QAccessible::Window);
  auto* list = qobject_cast<QComboBox*>(views.control("组合框1"));
  list->setCurrentIndex(2);
  EXPECT_EQ(face("组合框1")->role(), QAccessible::ComboBox);
  EXPECT_EQ(face("组合框1")->text(QAccessible::Name), QStringLiteral("解答来源"));
  EXPECT_EQ(face("组合框1")->text(QAccessible::Value), QStringLiteral("智能芯片③(软件)"));
  EXPECT_EQ(face("组合框1")->childCount(), 1) << "the item list stays reachable";
  EXPECT_EQ(face("编辑框2")->text(QAccessible::Name), QStringLiteral("速度(毫秒)："));
  const struct {
    const char* name;
    bool offscreen;
  } places[] = {{"编辑框3", false}, {"组合框1", false}, {"按钮1", false}, {"编辑框4", false},
                {"编辑框2", true},  {"标签1", true},    {"按钮3", true},  {"超文本浏览框1", true}};
  for (const auto& p : places) {
    const QAccessible::State state = face(p.name)->state();
    EXPECT_FALSE(state.invisible) << p.name;
    EXPECT_EQ(bool(state.offscreen), p.offscreen) << p.name;
  }
  EXPECT_TRUE(face("编辑框5")->state().invisible);

  QAccessible::Role role = QAccessible::NoRole;
  bool modal = false;
  model.handlers.pictureWindowCreated = [&] {
    QTimer::singleShot(1, &model, [&] {
      QAccessibleInterface* window = QAccessible::queryAccessibleInterface(views.pictureWindow());
      role = window->role();
      modal = window->state().modal;
      model.closePictureWindow();
    });
  };
  model.openPictureWindow();
  EXPECT_EQ(role, QAccessible::Dialog);
  EXPECT_TRUE(modal);
}

}  // namespace
}  // namespace qelvora
