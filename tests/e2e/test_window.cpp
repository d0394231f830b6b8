// The whole program through its real widgets on the offscreen platform, against qelvora-sites on a
// free loopback port: the start-up sequence of the program entry, then a question typed key by key,
// the source picked in the list, the ask button clicked, and the answer read back from the answer
// box. The software source also opens the related-picture window, which is closed as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/windows.h"
#include "base/clock.h"
#include "base/hosts.h"
#include "base/threads.h"
#include "tests/support/qt_events.h"
#include "tests/support/qt_typing.h"
#include "tests/support/sites_process.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::serveUntil;
using testing::typeText;

// One server for the whole program.
class Sites : public ::testing::Environment {
 public:
  void SetUp() override {
    process = testing::startReferenceSites();
    ASSERT_TRUE(process->running()) << "qelvora-sites did not start";
  }
  void TearDown() override { process.reset(); }

  static inline std::unique_ptr<testing::SitesProcess> process;
};
::testing::Environment* const sitesEnvironment = ::testing::AddGlobalTestEnvironment(new Sites);

// Limits that only keep a hang from hanging the suite; nothing here measures time.
constexpr int kWelcomeLimitMs = 60000;
constexpr int kAnswerLimitMs = 120000;
constexpr int kPictureLimitMs = 60000;

// The applications of earlier runs: start-up never frees them, since detached workers may still
// reach them. The list itself is never destroyed, so they stay reachable until the process ends.
std::vector<Application*>& keptApplications() {
  static auto* kept = new std::vector<Application*>;
  return *kept;
}

QString fromUtf8(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A transcript as a text widget shows it: every line end is one line break.
QString asShown(const std::string& utf8) {
  QString text = fromUtf8(utf8);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

struct Case {
  const char* name;
  int source;  // 0-based index in the source list
  const char* question;
  // The transcript (UTF-8, line ends as the program writes them) for the sites at base.
  std::string (*transcript)(const std::string& base);
  bool picture;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name << " (source " << c.source + 1 << ")";
}

// The same corpus questions and transcripts as the terminal tool's end-to-end test.
const Case kCases[] = {
    {"Fuzzy", 0, "天空为什么是蓝色的",
     [](const std::string&) -> std::string {
       return "问：天空为什么是蓝色的_\r\n答：\r\n阳光看起来是白色，其实混合了各种颜色的光。光穿过"
              "大气时会被空气分子散射，波长越短散射得越厉害。\r\n\r\n蓝光的波长比红光短得多，被散射"
              "到四面八方，所以我们抬头看哪里都是蓝的。\r\n傍晚阳光斜射，要穿过更厚的大气，蓝光在半"
              "路就散掉了，剩下的红光和橙光让晚霞显得通红。\r\n";
     },
     false},
    {"Exact", 1, "彩虹是怎样形成的",
     [](const std::string&) -> std::string {
       return "问：彩虹是怎样形成的\r\n答：雨后空中飘着许多小水滴，每一颗都像一个小小的三棱镜。\n"
              "阳光射进水滴时发生折射，在水滴背面反射一次，再折射出来。不同颜色的光折射的角度不一"
              "样，白光就被分成了红橙黄绿蓝靛紫。\n所以只有背对太阳、前方有雨幕的时候才能看到彩虹"
              "。";
     },
     false},
    {"Software", 2, "电脑上用什么看图软件好",
     [](const std::string& base) -> std::string {
       return "问：星图看图\r\n答：\r\n星图看图是一款小巧快速的图片浏览工具，双击图片即可打开，几"
              "乎不用等待。\r\n\r\n支持常见的十几种图片格式，能缩放、旋转、全屏播放幻灯片，还能批"
              "量改名和转换格式。\r\n界面简洁，没有广告，老电脑上也跑得很流畅。\r\n\r\n软件截图：" +
              base + "/shot/starview.png\r\n下载地址：" + base + "/down/starview.zip";
     },
     true},
};

// What the related-picture window showed before the test closed it.
struct PictureSeen {
  int windows = 0;  // openings seen
  bool modal = false;
  bool overMain = false;  // a transient child of the main window
  QSize imageSize;        // of the picture label's image; empty when none was shown
};

// Watches for the "相关图片" window. It opens inside the typing's last tick and runs its own loop
// until closed, so the watching is a timer that fires within that loop: it waits for the picture
// to arrive in the label, notes it, and closes the window with Esc.
QTimer* watchPictureWindow(QObject* owner, PictureSeen& seen) {
  auto* timer = new QTimer(owner);
  // Set while a window is open: how long its picture may take to arrive.
  auto deadline = std::make_shared<std::optional<QDeadlineTimer>>();
  QObject::connect(timer, &QTimer::timeout, [&seen, deadline] {
    QWidget* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w->windowTitle() == QStringLiteral("相关图片")) window = w;
    if (!window) {
      deadline->reset();
      return;
    }
    if (!*deadline) {
      ++seen.windows;
      *deadline = QDeadlineTimer(kPictureLimitMs);
    }
    auto* label = window->findChild<QLabel*>(QStringLiteral("图片框1"));
    const QPixmap pixmap = label ? label->pixmap() : QPixmap();
    if (pixmap.isNull() && !(*deadline)->hasExpired()) return;
    seen.modal = window->isModal();
    seen.overMain =
        window->parentWidget() && window->windowHandle() &&
        window->windowHandle()->transientParent() == window->parentWidget()->windowHandle();
    seen.imageSize = pixmap.size();
    QTest::keyClick(window, Qt::Key_Escape);
  });
  timer->start(20);
  return timer;
}

struct Observed {
  std::shared_ptr<ClockSetter> replaced;  // the setter start-up had installed
  QString welcome;                        // the answer box once the welcome text was typed
  bool welcomed = false;
  Text speed;     // the speed box's value in the model after typing into it
  Text question;  // the question box's value in the model after typing into it
  int listIndex = -1;
  int modelSelection = -1;
  bool answered = false;
  bool browsed = false;
  QString shown;  // the answer box's text
  Text typed;     // the answer box's bytes in the model
  PictureSeen picture;
  std::vector<Text> browserAddresses;
};

// Everything a user does after start-up, through the widgets. Ends by closing the main window,
// which ends the program's window loop.
void useTheWindow(Application& app, const Case& c, Observed& run) {
  QWidget* main = app.views->mainWindow();
  auto* ask = qobject_cast<QPushButton*>(app.views->control(ctl::kAskButton));
  auto* questionBox = qobject_cast<QLineEdit*>(app.views->control(ctl::kQuestionBox));
  auto* list = qobject_cast<QComboBox*>(app.views->control(ctl::kSourceList));
  auto* answerBox = qobject_cast<QTextEdit*>(app.views->control(ctl::kAnswerBox));
  if (!ask || !questionBox || !list || !answerBox) {
    ADD_FAILURE() << "a control of the main window is missing";
    main->close();
    return;
  }

  run.welcomed = serveUntil([&] { return ask->isEnabled(); }, kWelcomeLimitMs);
  run.welcome = answerBox->toPlainText();
  if (!run.welcomed) {
    main->close();
    return;
  }

  questionBox->setFocus();
  typeText(questionBox, QString::fromUtf8(c.question));
  run.question = app.model.content(ctl::kQuestionBox);

  list->setFocus();
  QTest::keyClick(list, Qt::Key_Home);
  for (int i = 0; i < c.source; ++i) QTest::keyClick(list, Qt::Key_Down);
  run.listIndex = list->currentIndex();
  run.modelSelection = app.model.selection(ctl::kSourceList);

  QTimer* watcher = watchPictureWindow(main, run.picture);
  QTest::mouseClick(ask, Qt::LeftButton);
  // The button is disabled at once by the click; it comes back when the answer has been typed.
  run.answered = !ask->isEnabled() && serveUntil([&] { return ask->isEnabled(); }, kAnswerLimitMs);
  // Closing the picture window hands the download address to the browser from a worker.
  if (c.picture)
    run.browsed = serveUntil([&] { return !run.browserAddresses.empty(); }, kPictureLimitMs);
  watcher->stop();
  run.shown = answerBox->toPlainText();
  run.typed = app.model.content(ctl::kAnswerBox);
  main->close();
}

class WindowAnswers : public ::testing::TestWithParam<Case> {};

TEST_P(WindowAnswers, QuestionTypedAndAnsweredThroughTheWidgets) {
  ASSERT_TRUE(Sites::process && Sites::process->running());
  const Case& c = GetParam();
  const std::string host = Sites::process->host();
  auto clock = std::make_shared<RecordingClockSetter>();
  Observed run;

  auto* qtApp = qobject_cast<QApplication*>(QCoreApplication::instance());
  ASSERT_NE(qtApp, nullptr);
  Application& app = runProgram(*qtApp, [&](Application& started) {
    // After start-up's own services: the recording setter replaces the real one before anything
    // can be asked.
    run.replaced = installClockSetter(clock);
    hosts() = Hosts{host, host, host, host};
    setInstantWaits(true);
    started.model.setBrowserOpener(
        [&run](const Text& address) { run.browserAddresses.push_back(address); });
    if (auto* speed = qobject_cast<QLineEdit*>(started.views->control(ctl::kSpeedBox))) {
      speed->setFocus();
      speed->selectAll();
      QTest::keyClicks(speed, QStringLiteral("1"));
    }
    run.speed = started.model.content(ctl::kSpeedBox);
    QTimer::singleShot(0, &started.model, [&started, &c, &run] { useTheWindow(started, c, run); });
  });
  keptApplications().push_back(&app);
  exitRoutine(app);
  setInstantWaits(false);

  EXPECT_NE(dynamic_cast<SystemClockSetter*>(run.replaced.get()), nullptr)
      << "start-up installs the real clock setter";
  EXPECT_EQ(run.speed, "1");
  ASSERT_TRUE(run.welcomed) << "the welcome text was not typed";
  EXPECT_EQ(run.welcome, asShown(gbkToUtf8(welcomeText())));

  EXPECT_EQ(run.question, utf8ToGbk(c.question));
  EXPECT_EQ(run.listIndex, c.source);
  EXPECT_EQ(run.modelSelection, c.source);
  ASSERT_TRUE(run.answered) << "the ask button did not come back";

  const std::string expected = c.transcript("http://" + host);
  EXPECT_EQ(run.shown, asShown(expected));
  EXPECT_EQ(run.typed, utf8ToGbk(expected));

  if (c.picture) {
    EXPECT_EQ(run.picture.windows, 1);
    EXPECT_TRUE(run.picture.modal);
    EXPECT_TRUE(run.picture.overMain);
    // The screenshot of the software page, as the site serves it.
    EXPECT_EQ(run.picture.imageSize, QSize(520, 340));
    EXPECT_TRUE(run.browsed) << "Esc on the picture window browsed nothing";
    ASSERT_EQ(run.browserAddresses.size(), 1u);
    EXPECT_EQ(run.browserAddresses[0], "http://" + host + "/down/starview.zip");
  } else {
    EXPECT_EQ(run.picture.windows, 0);
    EXPECT_TRUE(run.browserAddresses.empty());
  }
  // None of these answers reads the time, and the machine's clock was never within reach.
  EXPECT_TRUE(clock->calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Sources, WindowAnswers, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace qelvora
