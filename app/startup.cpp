#include "app/startup.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcess>
#include <QTranslator>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "answer/typing.h"
#include "app/answer_events.h"
#include "app/event_hooks.h"
#include "app/qt_audio_device.h"
#include "app/sound_player.h"
#include "app/windows.h"
#include "base/clock.h"
#include "base/threads.h"
#include "resources/sound/embedded_sound.h"
#include "sources/picture.h"
#include "web/encoding.h"
#include "web/request_log.h"

namespace qelvora {

const Text& welcomeText() {
  static const Text text = utf8ToGbk(
      "欢迎使用Qelvora,\r\n"
      "本系统会根据你所提及的问题给予最准确最科学的解答。\r\n"
      "作者;Qelvora团队\r\n"
      "联系电话;暂未开通\r\n"
      "客服电话;暂未开通\r\n"
      "网址;https://qelvora.example");
  return text;
}

namespace {

// Hands the address to xdg-open, the desktop's way to its default browser. A person who closed the
// picture window expects a browser; when none opens (no xdg-open, no browser), one line says
// where the download is. xdg-open's own messages are not passed on.
void openInBrowser(const QString& address) {
  auto* opener = new QProcess;
  opener->setStandardOutputFile(QProcess::nullDevice());
  opener->setStandardErrorFile(QProcess::nullDevice());
  auto failed = [opener, address] {
    std::fprintf(stderr, "qelvora: no browser could be opened for %s\n",
                 address.toUtf8().constData());
    opener->deleteLater();
  };
  QObject::connect(opener, &QProcess::errorOccurred, opener, [failed](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) failed();
  });
  QObject::connect(opener, &QProcess::finished, opener,
                   [opener, failed](int code, QProcess::ExitStatus status) {
                     if (status != QProcess::NormalExit || code != 0)
                       failed();
                     else
                       opener->deleteLater();
                   });
  opener->start(QStringLiteral("xdg-open"), {address});
}

}  // namespace

void windowCreated(Application& app) {
  app.model.setDisabled(ctl::kAskButton, true);
  app.model.setContent(ctl::kTranscriptBox, welcomeText());
  startTyping(app.session);
}

void bindHandlers(Application& app) {
  app.session.startSound = [] { startSound(embeddedSound(), true); };
  app.session.stopSound = [] { stopSound(); };
  bindAnswerEvents(app.model, app.session);

  FormHandlers& h = app.model.handlers;
  h.mainWindowCreated = [&app] { windowCreated(app); };
  // Each loader works for its own opening of the picture window: a slow one from an earlier
  // opening never fills a later window.
  h.pictureWindowCreated = [&app] {
    startWorker([access = app.model.pictureOpeningAccess()] { loadRelatedPicture(*access); });
  };

  // The hidden browser offers a download by handing the address to the desktop's browser.
  app.model.setBrowserOpener([](const Text& address) {
    const Text utf8 = gbkToUtf8(address);
    openInBrowser(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
  });
}

void exitRoutine(Application& app) {
  stopSound();
  ProgramState& s = app.state;
  s.typingPieces.clear();
  s.typingIndex = 1;
  s.typingOffset = 0;
  s.downloadAddress.clear();
  s.shownQuestion.clear();
  s.answerText.clear();
  s.pageText.clear();
  s.answerLink.clear();
}

bool installQtTranslations(QCoreApplication& qtApp) {
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  auto* translator = new QTranslator(&qtApp);
  if (translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), folder) ||
      translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                       QStringLiteral("_"), folder))
    return qtApp.installTranslator(translator);
  delete translator;
  return false;
}

namespace {

// The program's services: the window thread's wait hooks, the real clock setter, the sound output
// and the CJK font. qtApp must exist; call on its thread.
void installServices(QApplication& qtApp) {
  installGuiEventHooks();
  installClockSetter(std::make_shared<SystemClockSetter>());
  quietAudioMessages();
  installSoundOutput(std::make_shared<QtAudioOutput>());
  QFont font(QStringLiteral("WenQuanYi Micro Hei"));
  font.setPixelSize(12);
  qtApp.setFont(font);
  installQtTranslations(qtApp);
  // The main window's close ends the program, also while the picture window is open.
  qtApp.setQuitOnLastWindowClosed(false);
  // Sites that are not running would only show as the no-answer reply: say so, once.
  setRequestObserver([](const RequestRecord& r) {
    static std::atomic<bool> told{false};
    const std::string line = nothingAnswersLine("qelvora", r);
    if (!line.empty() && !told.exchange(true)) std::fprintf(stderr, "%s\n", line.c_str());
  });
}

}  // namespace

Application& runProgram(QApplication& qtApp, const std::function<void(Application&)>& afterShow) {
  installServices(qtApp);
  // Never deleted: workers that outlive the window loop may still reach the controls.
  auto* app = new Application;
  bindHandlers(*app);
  app->views = std::make_unique<WindowViews>(app->model);
  app->views->showMainWindow();
  if (afterShow) afterShow(*app);
  app->model.raiseMainWindowCreated();
  qtApp.exec();
  app->model.shutDown();
  return *app;
}

void endProcess(int code) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace qelvora
