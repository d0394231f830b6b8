#include "cli/ask.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "app/answer_events.h"
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

// One --verbose line: method, URL, status or error, bytes, milliseconds. Pages choose URLs and
// errors may quote them, so every control byte of the line is shown, never sent to the terminal;
// a CR or LF would otherwise start a forged line of its own.
std::string requestLine(const RequestRecord& r) {
  std::string line = r.method + " " + r.url + " ";
  line += r.error.empty() ? std::to_string(r.status) : r.error;
  if (r.status != 0 && !r.error.empty()) line += " (status " + std::to_string(r.status) + ")";
  line += " " + std::to_string(r.bytes) + " bytes " + std::to_string(r.milliseconds) + " ms";
  return showControlBytesInLine(line);
}

int usageError(const std::string& why) {
  std::fprintf(stderr, "qelvora-ask: %s\n%s", why.c_str(), usageText());
  return 2;
}

// The question as given, or read from standard input for "-"; nothing when that is no UTF-8.
std::optional<std::string> readQuestion(const std::string& given) {
  if (given != "-") return given;
  std::ostringstream in;
  in << std::cin.rdbuf();
  std::string question = questionFromInput(in.str());
  if (!isValidUtf8(question)) return std::nullopt;
  return question;
}

// The settings the window takes from the build, as the command line gives them.
void applySettings(const AskOptions& o) {
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
}

TerminalSettings terminalSettings(const AskOptions& o) {
  TerminalSettings terminal;
  terminal.gbk = o.gbk;
  terminal.statusOnStderr = isatty(STDERR_FILENO) == 1;
  terminal.stdoutIsTerminal = isatty(STDOUT_FILENO) == 1;
  terminal.instant = o.instant;
  return terminal;
}

// Writes the related picture to path; false when it cannot be written. No picture, no file.
bool writePicture(const Bytes& picture, const std::string& path) {
  if (picture.empty()) return true;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(picture.data.data(), static_cast<std::streamsize>(picture.size()));
  file.close();
  if (file) return true;
  std::fprintf(stderr, "qelvora-ask: cannot write the picture to %s\n", path.c_str());
  return false;
}

// One question on the headless form, answered in the terminal. Detached workers (the picture
// loader, the browse worker, a source still fetching) may outlive the main loop, so a run is never
// destroyed: the process ends with _Exit once the answer has been typed.
class Run {
 public:
  explicit Run(const AskOptions& o) : controls_(model_, terminalSettings(o)) {
    model_.setInstantTimers(o.instant);
    // The terminal plays no sound.
    bindAnswerEvents(model_, session_);
    model_.handlers.pictureWindowCreated = [this, wantPicture = o.pictureOut.has_value()] {
      openedPicture(wantPicture);
    };
    controls_.onAnswerTyped = [] { QCoreApplication::exit(0); };
    // Whether some fetch failed at the network level, so that the exit status can say the
    // answer may be the no-answer reply for want of a connection rather than of an answer.
    setRequestObserver([this, verbose = o.verbose](const RequestRecord& r) {
      if (r.networkFailure) networkFailed_ = true;
      if (verbose) controls_.note(requestLine(r));
      // Said once, also without --verbose: otherwise every answer is the no-answer reply and
      // nothing says why.
      const std::string unanswered = nothingAnswersLine("qelvora-ask", r);
      if (!unanswered.empty() && !toldNothingAnswers_.exchange(true)) controls_.note(unanswered);
    });
  }

  // Types the question into 编辑框3, picks the source and the speed, presses 按钮1 and serves the
  // window loop until the answer has been typed.
  void ask(const std::string& question, const AskOptions& o) {
    model_.editByUser(ctl::kQuestionBox, utf8ToGbk(question));
    model_.selectByUser(ctl::kSourceList, o.source - 1);
    model_.editByUser(ctl::kSpeedBox, utf8ToGbk(o.speed));
    QTimer::singleShot(0, &model_, [this] { model_.click(ctl::kAskButton); });
    QCoreApplication::exec();
    model_.shutDown();
    controls_.finish();
  }

  // The picture window showed, when --picture-out asked for it.
  Bytes shownPicture() {
    std::lock_guard lock(pictureMutex_);
    return picture_;
  }
  bool networkFailed() const { return networkFailed_; }

 private:
  // The window starts its loader as always; the terminal closes the window by itself, after the
  // loader when the picture is wanted, at once otherwise.
  void openedPicture(bool wantPicture) {
    startWorker([this, wantPicture, access = model_.pictureOpeningAccess()] {
      loadRelatedPicture(*access);
      if (!wantPicture) return;
      Bytes shown =
          ControlAccess::asBytes(access->readProperty(ctl::kPictureBox, Property::Picture));
      {
        std::lock_guard lock(pictureMutex_);
        picture_ = std::move(shown);
      }
      model_.closePictureWindow();
    });
    QTimer::singleShot(wantPicture ? kPictureWaitMs : 0, &model_,
                       [this] { model_.closePictureWindow(); });
  }

  FormModel model_;
  ProgramState state_;
  TerminalControls controls_;
  AnswerSession session_{controls_, state_, {}, {}, {}};
  std::mutex pictureMutex_;
  Bytes picture_;
  std::atomic<bool> networkFailed_{false};
  std::atomic<bool> toldNothingAnswers_{false};
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
  const std::optional<std::string> question = readQuestion(o.question);
  if (!question) return usageError("the question is not valid UTF-8");
  applySettings(o);

  // Qt sees no options of ours.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  new QCoreApplication(qtArgc, qtArgv);
  installGuiEventHooks();
  auto* run = new Run(o);
  run->ask(*question, o);

  int status = 0;
  if (o.pictureOut && !writePicture(run->shownPicture(), *o.pictureOut)) status = 1;
  // An answer that could not be written out (a full disk, say) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "qelvora-ask: cannot write the answer to standard output\n");
    status = 1;
  }
  // Cookies a busy lock kept out of the file get one more bounded wait; lost ones are no success.
  if (const std::string unsaved = saveCookiesNow(); !unsaved.empty()) {
    std::fprintf(stderr, "qelvora-ask: %s\n", unsaved.c_str());
    status = 1;
  }
  if (status == 0 && run->networkFailed()) status = 3;
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace qelvora::cli
