// Start-up and exit of the whole program, each case in a child process that runs the same start-up
// sequence as the program entry: the welcome text is typed, and closing the main window ends the
// process with code 0 whatever is still going on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/startup.h"
#include "app/windows.h"
#include "base/clock.h"
#include "base/hosts.h"
#include "base/threads.h"
#include "sources/picture.h"
#include "tests/support/qt_events.h"
#include "tests/support/qt_test_main.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

using testing::serveUntil;

std::string hex(const Text& t) {
  return QByteArray::fromStdString(t).toHex().toStdString();
}

double monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Closes the main window as the user would, noting when.
void closeMainWindow(Application& app) {
  std::cout << "closed-at=" << std::fixed << monotonicMs() << "\n" << std::flush;
  app.views->mainWindow()->close();
}

// A listening loopback socket on a free port; -1 on failure.
int listenOnLoopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 8) != 0)
    return -1;
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// A loopback port that accepts connections into its backlog and never answers.
int silentPort() {
  int port = -1;
  return listenOnLoopback(port) < 0 ? -1 : port;
}

// A time service on a free loopback port: every request gets the current time page.
int timePort() {
  int port = -1;
  const int fd = listenOnLoopback(port);
  if (fd < 0) return -1;
  startWorker([fd] {
    for (int client; (client = accept(fd, nullptr, nullptr)) >= 0; close(client)) {
      std::string request;
      char buf[4096];
      for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                      (n = read(client, buf, sizeof buf)) > 0;)
        request.append(buf, static_cast<std::size_t>(n));
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch());
      const std::string body = "window.baidu_time(" + std::to_string(ms.count()) + ");";
      const std::string reply =
          "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body;
      if (write(client, reply.data(), reply.size()) < 0) continue;
    }
  });
  return port;
}

// Pictures over loopback: a red one at /early.png, held back until release(), and a blue one at
// any other path.
class PictureServer {
 public:
  PictureServer() {
    fd_ = listenOnLoopback(port_);
    startWorker([this] {
      for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0;)
        startWorker([this, client] { answer(client); });
    });
  }
  std::string address(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  static Bytes picture(Qt::GlobalColor colour) {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return Bytes(png.toStdString());
  }
  bool held() {
    std::lock_guard lock(mutex_);
    return held_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  void answer(int client) {
    std::string request;
    char buf[4096];
    for (ssize_t n;
         request.find("\r\n\r\n") == std::string::npos && (n = read(client, buf, sizeof buf)) > 0;)
      request.append(buf, static_cast<std::size_t>(n));
    const bool early = request.rfind("GET /early.png ", 0) == 0;
    if (early) {
      std::unique_lock lock(mutex_);
      held_ = true;
      changed_.wait(lock, [this] { return released_; });
    }
    const Bytes body = picture(early ? Qt::red : Qt::blue);
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                              std::string(body.data);
    if (write(client, reply.data(), reply.size()) < 0) {
    }
    close(client);
  }

  int fd_ = -1;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// Threads of this process.
int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// Never sets the clock; reports each call on standard output at once, so that a call made at any
// moment before the process ends shows.
class ReportingClockSetter : public ClockSetter {
 public:
  bool setLocalTime(DateTime) override {
    std::cout << "clock-set\n" << std::flush;
    return true;
  }
};

// What each child does once the main window is shown (before its created event).
std::function<void(Application&)> childScenario(const std::string& mode) {
  if (mode == "welcome")
    return [](Application& app) {
      app.model.setContent(ctl::kSpeedBox, "2");
      auto* poll = new QTimer(&app.model);
      QObject::connect(poll, &QTimer::timeout, [&app, poll] {
        if (app.model.disabled(ctl::kAskButton)) return;
        poll->stop();
        std::cout << "answer=" << hex(app.model.content(ctl::kAnswerBox)) << "\n"
                  << "title=" << hex(app.model.title()) << "\n"
                  << "typing=" << app.model.period(ctl::kTypingTimer) << "\n"
                  << "focus=" << app.model.focusedControl() << "\n";
        closeMainWindow(app);
      });
      poll->start(20);
    };
  if (mode == "typing")
    return [](Application& app) {
      QTimer::singleShot(300, &app.model, [&app] {
        std::cout << "typed=" << app.model.content(ctl::kAnswerBox).size() << "\n"
                  << "disabled=" << app.model.disabled(ctl::kAskButton) << "\n";
        closeMainWindow(app);
      });
    };
  if (mode == "blocked-worker")
    return [](Application& app) {
      QTimer::singleShot(200, &app.model, [&app] {
        static std::atomic<long> calls{0};
        startWorker([&app] {
          for (;;) {
            app.model.content(ctl::kTranscriptBox);
            app.model.setContent(ctl::kPictureAddressBox, "x");
            ++calls;
          }
        });
        // The window thread is busy here, so the worker sits in a control call when the
        // window closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closeMainWindow(app);
      });
    };
  if (mode == "network")
    return [](Application& app) {
      QTimer::singleShot(200, &app.model, [&app] {
        int port = silentPort();
        std::cout << "port=" << port << "\n";
        startWorker([port, &app] {
          Bytes page = fetchPage("http://127.0.0.1:" + std::to_string(port) + "/never");
          app.model.setContent(ctl::kTranscriptBox, page.data);
        });
        startWorker([] { waitWithEvents(60000); });
        QTimer::singleShot(300, &app.model, [&app] { closeMainWindow(app); });
      });
    };
  // A built-in question asked, the main window closed a second later: during the busy animation
  // (an answering time service; the clock would be set next) or during the first time fetch (a
  // service that never answers).
  if (mode == "builtin-animation" || mode == "builtin-silent")
    return [mode](Application& app) {
      const bool silent = mode == "builtin-silent";
      hosts().time = "127.0.0.1:" + std::to_string(silent ? silentPort() : timePort());
      const Text question = utf8ToGbk(silent ? "北京时间" : "男人是什么");
      app.model.setContent(ctl::kSpeedBox, "2");
      auto* poll = new QTimer(&app.model);
      QObject::connect(poll, &QTimer::timeout, [&app, poll, question] {
        if (app.model.disabled(ctl::kAskButton)) return;  // the welcome text is being typed
        poll->stop();
        QTimer::singleShot(1000, &app.model, [&app] { closeMainWindow(app); });
        app.model.editByUser(ctl::kQuestionBox, question);
        app.model.click(ctl::kAskButton);  // answers inside this call, serving events
      });
      poll->start(20);
    };
  if (mode == "picture")
    return [](Application& app) {
      QTimer::singleShot(200, &app.model, [&app] {
        QTimer::singleShot(200, &app.model, [&app] {
          std::cout << "picture-open=" << (app.views->pictureWindow() != nullptr) << "\n";
          closeMainWindow(app);
        });
        app.model.openPictureWindow();
      });
    };
  return nullptr;
}

int runChild(int argc, char** argv) {
  if (argc < 3) return 3;
  QApplication qtApp(argc, argv);
  auto scenario = childScenario(argv[2]);
  if (!scenario) return 3;
  Application& app = runProgram(qtApp, [&scenario](Application& started) {
    // In place of the real clock, installed by start-up just before.
    installClockSetter(std::make_shared<ReportingClockSetter>());
    scenario(started);
  });
  exitRoutine(app);
  endProcess(0);
}

struct ChildResult {
  bool finished = false;
  double finishedAt = 0;  // monotonic milliseconds
  int exitCode = -1;
  QProcess::ExitStatus status = QProcess::CrashExit;
  std::string out;
  std::string err;
};

ChildResult runScenario(const char* mode) {
  QProcess child;
  // No sound server to be found, whatever the desktop running the tests has.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PULSE_SERVER", "unix:/nonexistent/qelvora-test/native");
  child.setProcessEnvironment(env);
  child.start(QCoreApplication::applicationFilePath(), {"--child", mode});
  ChildResult r;
  // Generous: this only keeps a hanging child from hanging the suite.
  r.finished = child.waitForFinished(60000);
  r.finishedAt = monotonicMs();
  if (!r.finished) child.kill(), child.waitForFinished();
  r.exitCode = child.exitCode();
  r.status = child.exitStatus();
  r.out = child.readAllStandardOutput().toStdString();
  r.err = child.readAllStandardError().toStdString();
  return r;
}

TEST(Startup, WelcomeTextIsTypedThenTheAskButtonIsEnabled) {
  ChildResult r = runScenario("welcome");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.status, QProcess::NormalExit);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("answer=" + hex(welcomeText()) + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("title=" + hex("Qelvora") + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("typing=0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("focus=编辑框3\n"), std::string::npos) << r.out;
  // The tune was started without a sound server: nothing about it reaches the terminal.
  const QString err = QString::fromStdString(r.err);
  EXPECT_FALSE(err.contains(QLatin1String("pulse"), Qt::CaseInsensitive) ||
               err.contains(QLatin1String("audio"), Qt::CaseInsensitive))
      << r.err;
}

TEST(Startup, WelcomeTextForm) {
  const Text& t = welcomeText();
  const Text head =
      utf8ToGbk("欢迎使用Qelvora,\r\n本系统会根据你所提及的问题给予最准确最科学的解答。\r\n");
  ASSERT_EQ(t.compare(0, head.size(), head), 0);
  // Four "label;value" lines separated by CR LF, none after the last.
  Text rest = t.substr(head.size());
  EXPECT_NE(rest.substr(rest.size() - 2), "\r\n");
  int lines = 0;
  for (std::size_t pos = 0; pos <= rest.size();) {
    std::size_t end = rest.find("\r\n", pos);
    if (end == Text::npos) end = rest.size();
    Text line = rest.substr(pos, end - pos);
    EXPECT_NE(line.find(';'), Text::npos) << line;
    ++lines;
    pos = end + 2;
  }
  EXPECT_EQ(lines, 4);
}

// Closing the main window ends the process with code 0 promptly in every state, and nothing sets
// the clock after the close.
TEST(Startup, ClosingTheMainWindowEndsItPromptlyWithCodeZero) {
  // Generous: the close itself must end the process within half a second.
  constexpr double kLimitMs = 2500;
  struct Case {
    const char* mode;
    const char* expectedLine;  // something the child reports before closing
  } cases[] = {
      {"typing", "disabled=1\n"},      {"blocked-worker", ""},    {"network", "port="},
      {"picture", "picture-open=1\n"}, {"builtin-animation", ""}, {"builtin-silent", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ChildResult r = runScenario(c.mode);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find(c.expectedLine), std::string::npos) << r.out;
    const auto closed = r.out.find("closed-at=");
    ASSERT_NE(closed, std::string::npos) << r.out;
    const double closeToExit = r.finishedAt - std::stod(r.out.substr(closed + 10));
    EXPECT_LT(closeToExit, kLimitMs);
    EXPECT_EQ(r.out.find("clock-set"), std::string::npos) << r.out;
    std::cout << c.mode << ": close to exit " << closeToExit << " ms\n";
    if (std::string_view(c.mode) == "network") {
      EXPECT_EQ(r.out.find("port=-1"), std::string::npos);
    }
    if (std::string_view(c.mode) == "typing") {
      // Typing had begun and was not over.
      auto pos = r.out.find("typed=");
      ASSERT_NE(pos, std::string::npos);
      long typed = std::stol(r.out.substr(pos + 6));
      EXPECT_GT(typed, 0);
      EXPECT_LT(typed, static_cast<long>(welcomeText().size()));
    }
  }
}

// Each picture loader works for its own opening of the picture window: a slow one from an earlier
// opening never lands in a later window.
TEST(Startup, APictureLoaderNeverFillsALaterOpening) {
  static auto* server = new PictureServer;  // never freed: its threads may outlive the test
  Application app;
  bindHandlers(app);
  const auto shown = [&app] {
    return ControlAccess::asBytes(app.model.readProperty(ctl::kPictureBox, Property::Picture));
  };
  const auto openWith = [&app](const std::string& address, const std::function<void()>& whileOpen) {
    app.model.setContent(ctl::kPictureAddressBox, address);
    // A timer, not a zero-delay call: the picture window's loop runs inside this and must still
    // serve the loader's calls, which a nested loop inside a queued call would hold back.
    QTimer::singleShot(1, &app.model, [&app, whileOpen] {
      whileOpen();
      app.model.closePictureWindow();
    });
    app.model.openPictureWindow();  // returns once closed
  };
  const int threadsBefore = threadCount();
  openWith(server->address("/early.png"), [] { serveUntil([] { return server->held(); }); });
  Bytes first, last;
  openWith(server->address("/late.png"), [&] {
    serveUntil([&] { return !shown().empty(); });
    first = shown();
    server->release();
    // The early loader and its request have ended: whatever it wrote has arrived by now.
    serveUntil([&] { return threadCount() <= threadsBefore; });
    last = shown();
  });
  // The closing's download offer runs on a worker that reaches the model: done before it goes.
  serveUntil([&] { return threadCount() <= threadsBefore; });
  Bytes blue;
  ASSERT_TRUE(convertImage(PictureServer::picture(Qt::blue), ImageFormat::Gif, blue));
  EXPECT_EQ(first, blue);
  EXPECT_EQ(last, blue);
}

const bool childRegistered = testing::setChildMain(&runChild);

}  // namespace
}  // namespace qelvora
