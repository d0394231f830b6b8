#include "cli/ask.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "answer/router.h"
#include "answer/typing.h"
#include "app/event_hooks.h"
#include "app/form_model.h"
#include "base/clock.h"
#include "base/hosts.h"
#include "base/threads.h"
#include "cli/options.h"
#include "cli/terminal.h"
#include "sources/picture.h"
#include "web/cookie_store.h"
#include "web/encoding.h"
#include "web/request_log.h"

namespace qelvora::cli {

namespace {

// How long the picture window waits for its loader when the picture is wanted: the loader's own
// download limit and a little for the conversion.
constexpr int kPictureWaitMs = 10'000 + 1'500;

// One --verbose line: method, URL, status or error, bytes, milliseconds. Pages choose URLs, so
// their control bytes are shown, never sent to the terminal.
std::string requestLine(const RequestRecord& r) {
  std::string line = showControlBytes(r.method + " " + r.url) + " ";
  line += r.error.empty() ? std::to_string(r.status) : showControlBytes(r.error);
  if (r.status != 0 && !r.error.empty()) line += " (status " + std::to_string(r.status) + ")";
  line += " " + std::to_string(r.bytes) + " bytes " + std::to_string(r.milliseconds) + " ms";
  return line;
}

int usageError(const std::string& why) {
  std::fprintf(stderr, "qelvora-ask: %s\n%s", why.c_str(), usageText());
  return 2;
}

// Everything the running answer refers to. Detached workers (the picture loader, the browse
// worker, a source still fetching) may outlive the main loop, so none of it is ever destroyed:
// the process ends with _Exit once the answer has been typed.
struct Session {
  FormModel model;
  ProgramState state;
  std::unique_ptr<TerminalControls> controls;
  std::unique_ptr<Presentation> presentation;
  std::unique_ptr<AnswerContext> context;
  std::mutex pictureMutex;
  Bytes picture;  // what the picture window showed, when --picture-out asked for it
  bool asked = false;
};

}  // namespace

int runAsk(int argc, char** argv) {
  ParsedOptions parsed = parseAskOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.ok) return usageError(parsed.error);
  const AskOptions& o = parsed.options;
  if (o.help) {
    std::fputs(usageText(), stdout);
    return 0;
  }
  if (o.version) {
    std::puts("qelvora-ask " QELVORA_VERSION);
    return 0;
  }

  std::string question = o.question;
  if (question == "-") {
    std::ostringstream in;
    in << std::cin.rdbuf();
    question = questionFromInput(in.str());
    if (!isValidUtf8(question)) return usageError("the question is not valid UTF-8");
  }

  if (o.timeHost) hosts().time = *o.timeHost;
  if (o.source1Host) hosts().source1 = *o.source1Host;
  if (o.source2Host) hosts().source2 = *o.source2Host;
  if (o.source3Host) hosts().source3 = *o.source3Host;
  if (o.cookieFile) setCookieFilePath(*o.cookieFile);
  // The clock is the computer's, not ours: only an explicit --set-clock may change it.
  if (o.setClock)
    installClockSetter(std::make_shared<SystemClockSetter>());
  else
    installClockSetter(std::make_shared<RecordingClockSetter>());
  setInstantWaits(o.instant);

  // Qt sees no options of ours.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  auto* app = new QCoreApplication(qtArgc, qtArgv);
  installGuiEventHooks();

  auto* s = new Session;
  FormModel& model = s->model;
  model.setInstantTimers(o.instant);
  TerminalSettings terminal;
  terminal.gbk = o.gbk;
  terminal.statusOnStderr = isatty(STDERR_FILENO) == 1;
  terminal.stdoutIsTerminal = isatty(STDOUT_FILENO) == 1;
  terminal.instant = o.instant;
  s->controls = std::make_unique<TerminalControls>(model, terminal);
  TerminalControls& controls = *s->controls;
  // Whether some fetch failed at the network level, so that the exit status can say the answer
  // may be the no-answer reply for want of a connection rather than for want of an answer.
  static std::atomic<bool> networkFailed{false};
  setRequestObserver([&controls, verbose = o.verbose](const RequestRecord& r) {
    if (r.networkFailure) networkFailed = true;
    if (verbose) controls.note(requestLine(r));
  });
  // The terminal plays no sound.
  s->presentation.reset(new Presentation{controls, s->state, [] {}, [] {}});
  s->context.reset(new AnswerContext{*s->presentation});
  Presentation& p = *s->presentation;

  model.handlers.askClicked = [s] {
    s->asked = true;
    askQuestion(*s->context);
  };
  model.handlers.retypeClicked = [&p] { startTyping(p); };
  model.handlers.downloadClicked = [s] { browseDownloadAddress(*s->controls, s->state); };
  model.handlers.typingTimerTick = [&p] { typingTick(p); };
  model.handlers.progressTimerTick = [&p] { progressTick(p); };
  const bool wantPicture = o.pictureOut.has_value();
  model.handlers.pictureWindowCreated = [s, wantPicture] {
    // The window starts its loader as always; the terminal closes the window by itself, after
    // the loader when the picture is wanted, at once otherwise.
    auto closed = std::make_shared<std::atomic<bool>>(false);
    startWorker([s, wantPicture, closed] {
      loadRelatedPicture(*s->controls);
      if (!wantPicture) return;
      Bytes shown =
          ControlAccess::asBytes(s->model.readProperty(ctl::kPictureBox, Property::Picture));
      {
        std::lock_guard lock(s->pictureMutex);
        s->picture = std::move(shown);
      }
      s->model.closePictureWindow();
    });
    QTimer::singleShot(wantPicture ? kPictureWaitMs : 0, &s->model,
                       [s] { s->model.closePictureWindow(); });
  };
  model.handlers.pictureWindowClosing = [s] { pictureWindowClosed(*s->controls, s->state); };
  controls.onAnswerTyped = [s] {
    if (s->asked) QCoreApplication::exit(0);
  };

  model.editByUser(ctl::kQuestionBox, utf8ToGbk(question));
  model.selectByUser(ctl::kSourceList, o.source - 1);
  model.editByUser(ctl::kSpeedBox, utf8ToGbk(o.speed));
  QTimer::singleShot(0, &model, [s] { s->model.click(ctl::kAskButton); });
  app->exec();
  model.shutDown();
  controls.finish();

  int status = 0;
  if (wantPicture) {
    Bytes picture;
    {
      std::lock_guard lock(s->pictureMutex);
      picture = s->picture;
    }
    if (!picture.empty()) {
      std::ofstream file(*o.pictureOut, std::ios::binary | std::ios::trunc);
      file.write(picture.data.data(), static_cast<std::streamsize>(picture.size()));
      file.close();
      if (!file) {
        std::fprintf(stderr, "qelvora-ask: cannot write the picture to %s\n",
                     o.pictureOut->c_str());
        status = 1;
      }
    }
  }
  // An answer that could not be written out (a full disk, say) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "qelvora-ask: cannot write the answer to standard output\n");
    status = 1;
  }
  if (status == 0 && networkFailed) status = 3;
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace qelvora::cli
