// The program on a real desktop, each part in servers of the test's own: the windows' frames
// centred under a window manager (an X server, Xvfb, with openbox); the real program driven by
// assistive technology from outside (AT-SPI on a private session bus) and closed through the
// window manager while its picture window is open (openbox, xfwm4); the picture window's parent
// under a Wayland compositor (weston, headless); and the tune heard through a sound server
// (PulseAudio with a null sink, recorded from the sink's monitor with parec). A test skips, saying
// what is missing, where these programs are not installed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/form_model.h"
#include "app/startup.h"
#include "app/windows.h"
#include "resources/sound/embedded_sound.h"
#include "tests/support/qt_events.h"
#include "tests/support/qt_test_main.h"
#include "tests/support/sites_process.h"

namespace qelvora {
namespace {

using testing::serveUntil;

double monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// "key=value" lines of a child's output.
std::map<std::string, std::string> keyValues(const std::string& out) {
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (auto eq = line.find('='); eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

// Programs that are missing, as a sentence for a skipped test; empty when all are there.
QString missingPrograms(const QStringList& programs) {
  QStringList missing;
  for (const QString& p : programs)
    if (QStandardPaths::findExecutable(p).isEmpty()) missing << p;
  return missing.isEmpty() ? QString() : missing.join(QStringLiteral(", ")) + " not installed";
}

// A helper program of the test, ended (and waited for) with the test.
struct Server {
  QProcess process;
  ~Server() {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(5000)) process.kill(), process.waitForFinished();
  }
};

// ---------------------------------------------------------------------------------------------
// Placement

// In the X server: both windows shown, and each one's frame reported once the window manager has
// framed it and it sits centred (or after a while, as it is).
int placementChild(int argc, char** argv) {
  QApplication app(argc, argv);
  FormModel model;
  WindowViews views(model);
  const auto report = [](const char* name, QWidget* w) {
    const QRect area = w->screen()->availableGeometry();
    const auto centred = [w, area] {
      const QRect f = w->frameGeometry();
      return f.size() != w->size() &&
             std::abs(2 * f.x() + f.width() - 2 * area.x() - area.width()) <= 2 &&
             std::abs(2 * f.y() + f.height() - 2 * area.y() - area.height()) <= 2;
    };
    serveUntil(centred, 10000);
    const QRect f = w->frameGeometry();
    std::cout << name << "=" << f.x() << "," << f.y() << "," << f.width() << "," << f.height()
              << "\n"
              << name << "-area=" << area.x() << "," << area.y() << "," << area.width() << ","
              << area.height() << "\n"
              << name << "-client=" << w->width() << "," << w->height() << "\n";
  };
  views.showMainWindow();
  report("main", views.mainWindow());
  model.handlers.pictureWindowCreated = [&] {
    QTimer::singleShot(1, &model, [&] {
      report("picture", views.pictureWindow());
      model.closePictureWindow();
    });
  };
  model.openPictureWindow();
  std::cout << std::flush;
  return 0;
}

// Starts Xvfb into x and the window manager wm (a command line) into w; env receives DISPLAY.
// With bus, a session bus is started there first, for the window manager and for what env starts
// later (DBUS_SESSION_BUS_ADDRESS): one bus, so one accessibility bus on the display. Empty on
// success, else what went wrong.
std::string startDesktop(Server& x, Server& w, const QStringList& wm, QProcessEnvironment& env,
                         Server* bus = nullptr) {
  x.process.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
  if (!serveUntil([&] { return x.process.canReadLine(); }, 20000)) return "Xvfb did not start";
  const QString display = ":" + QString::fromLatin1(x.process.readLine()).trimmed();
  env.insert("DISPLAY", display);
  env.insert("QT_QPA_PLATFORM", "xcb");
  if (bus) {
    bus->process.setProcessEnvironment(env);  // the registry it starts sends keys to this display
    bus->process.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!serveUntil([&] { return bus->process.canReadLine(); }, 20000))
      return "dbus-daemon did not start";
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromLatin1(bus->process.readLine()).trimmed());
  }

  // Ready once it has announced itself on the root window. One that ends or stays silent is
  // started once more; what it said goes into the failure message.
  Server& wmServer = w;
  wmServer.process.setProcessEnvironment(env);
  wmServer.process.setProcessChannelMode(QProcess::MergedChannels);
  const auto announced = [&] {
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"});
    probe.waitForFinished();
    return probe.readAllStandardOutput().contains("window id");
  };
  bool managing = false;
  std::string attempts;
  for (int attempt = 1; attempt <= 2 && !managing; ++attempt) {
    if (wmServer.process.state() != QProcess::NotRunning) {
      wmServer.process.kill();
      wmServer.process.waitForFinished();
    }
    wmServer.process.start(wm.front(), wm.mid(1));
    serveUntil(
        [&] {
          return wmServer.process.state() == QProcess::NotRunning || (managing = announced());
        },
        30000);
    if (!managing)
      attempts += "attempt " + std::to_string(attempt) +
                  (wmServer.process.state() == QProcess::NotRunning
                       ? ": ended with code " + std::to_string(wmServer.process.exitCode())
                       : ": no announcement in 30 s") +
                  ", output: " + wmServer.process.readAll().toStdString() + "\n";
  }
  if (!managing) return wm.front().toStdString() + " did not start\n" + attempts;

  // The X keyboard library hands strndup names that are not NUL-terminated (legal: it reads at
  // most n bytes), which the sanitizer build's strict string checks take for an overflow.
  if (env.contains("ASAN_OPTIONS"))
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":strict_string_checks=0");
  return {};
}

TEST(Desktop, FramesAreCentredUnderAWindowManager) {
  if (QString missing = missingPrograms({"Xvfb", "openbox", "xprop"}); !missing.isEmpty())
    GTEST_SKIP() << "no X server with a window manager to place windows in: "
                 << missing.toStdString() << " (scripts/setup installs them)";
  Server x, wm;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const std::string failed = startDesktop(x, wm, {"openbox"}, env);
  ASSERT_TRUE(failed.empty()) << failed;
  QProcess child;
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child.start(QCoreApplication::applicationFilePath(), {"--child", "placement"});
  ASSERT_TRUE(child.waitForFinished(60000));
  EXPECT_EQ(child.exitCode(), 0);
  const auto values = keyValues(child.readAllStandardOutput().toStdString());
  for (const char* window : {"main", "picture"}) {
    SCOPED_TRACE(window);
    int fx, fy, fw, fh, ax, ay, aw, ah, cw, ch;
    auto at = [&](const std::string& key) {
      auto it = values.find(window + key);
      return it == values.end() ? std::string() : it->second;
    };
    ASSERT_EQ(std::sscanf(at("").c_str(), "%d,%d,%d,%d", &fx, &fy, &fw, &fh), 4);
    ASSERT_EQ(std::sscanf(at("-area").c_str(), "%d,%d,%d,%d", &ax, &ay, &aw, &ah), 4);
    ASSERT_EQ(std::sscanf(at("-client").c_str(), "%d,%d", &cw, &ch), 2);
    EXPECT_GT(fh, ch) << "the window manager drew no title bar";
    // Centres within 1 px (doubled coordinates keep halves exact).
    EXPECT_LE(std::abs((2 * fx + fw) - (2 * ax + aw)), 2) << "frame x " << fx << " width " << fw;
    EXPECT_LE(std::abs((2 * fy + fh) - (2 * ay + ah)), 2) << "frame y " << fy << " height " << fh;
  }
}

// ---------------------------------------------------------------------------------------------
// Assistive technology and the window manager's close

// The assistive technology: finds the window's controls by name, sets the speed and the
// question as voice input would, picks the source with the keyboard, presses the button and
// reports what it read, as key=value lines.
constexpr char kDriver[] = R"(
import subprocess, sys, time, pyatspi
def poll(get, limit):
    end = time.time() + limit
    while time.time() < end:
        try:
            v = get()
        except Exception:
            v = None
        if v:
            return v
        time.sleep(0.05)
    return None
def wait(what, get, limit=120):
    v = poll(get, limit)
    if not v:
        print("timeout=" + what, flush=True)
        sys.exit(3)
    return v
def app():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a and a.name == "qelvora"), None)
def find(root, name, role=None):
    return pyatspi.findDescendant(root, lambda x: x.name == name and role in (None, x.getRoleName()))
def has(x, state):
    return int(x.getState().contains(state))
def key(sym):
    pyatspi.Registry.generateKeyboardEvent(sym, None, pyatspi.KEY_SYM)
a = wait("application", app)
frame = wait("frame", lambda: next((w for w in a if w.getRoleName() == "frame"), None))
question = wait("question", lambda: find(frame, "问题"))
speed = wait("speed", lambda: find(frame, "速度(毫秒)：", "text"))
sources = wait("list", lambda: find(frame, "解答来源", "combo box"))
ask = wait("button", lambda: find(frame, "智能解答", "push button"))
answer = wait("answer", lambda: find(frame, "解答", "text"))
print("main-role=%s\nspeed-showing=%d\nquestion-showing=%d" % (frame.getRoleName(), has(speed, pyatspi.STATE_SHOWING), has(question, pyatspi.STATE_SHOWING)), flush=True)
speed.queryEditableText().setTextContents("1")
def ask_with(text, downs):
    wait("ask enabled", lambda: has(ask, pyatspi.STATE_SENSITIVE))
    question.queryEditableText().setTextContents(text)
    # A window manager that keeps focus from new windows makes the grab wait until the window is
    # active: raise it as a pager (or a click) would, then grab again.
    for _ in range(6):
        question.queryComponent().grabFocus()
        if poll(lambda: has(question, pyatspi.STATE_FOCUSED), 5):
            break
        subprocess.run(["wmctrl", "-a", "Qelvora"])
    wait("question focused", lambda: has(question, pyatspi.STATE_FOCUSED), 5)
    key(0xff09)  # Tab
    wait("list focused", lambda: has(sources, pyatspi.STATE_FOCUSED))
    for _ in range(downs):
        key(0xff54)  # Down
    time.sleep(0.5)
    ask.queryAction().doAction(0)
    wait("ask disabled", lambda: not has(ask, pyatspi.STATE_SENSITIVE))
ask_with("天空为什么是蓝色的", 0)
wait("typed", lambda: has(ask, pyatspi.STATE_SENSITIVE))
t = answer.queryText()
print("answer=" + t.getText(0, t.characterCount).split("\n")[0], flush=True)
ask_with("电脑上用什么看图软件好", 2)
picture = wait("picture window", lambda: next((w for w in a if w.name == "相关图片"), None))
print("picture-role=%s\npicture-modal=%d" % (picture.getRoleName(), has(picture, pyatspi.STATE_MODAL)), flush=True)
)";

QString pythonWithAtSpi() {
  for (const QString& python : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
    QProcess probe;
    probe.start(python, {"-c", "import pyatspi"});
    if (probe.waitForFinished() && probe.exitStatus() == QProcess::NormalExit &&
        probe.exitCode() == 0)
      return python;
  }
  return {};
}

class CloseWithPictureOpen : public ::testing::TestWithParam<const char*> {};

// The real program, its hosts given on the command line: text that assistive technology sets into
// the question box is asked; with the picture window open, the window manager's close of the main
// window ends the program with code 0 at once, and no browser is opened.
TEST_P(CloseWithPictureOpen, AssistiveTextIsAskedAndTheCloseEndsTheProgram) {
  const QStringList wm = QString::fromLatin1(GetParam()).split(' ');
  if (QString missing = missingPrograms({"Xvfb", "xprop", wm.front(), "dbus-daemon", "wmctrl"});
      !missing.isEmpty())
    GTEST_SKIP() << "no X desktop to drive: " << missing.toStdString()
                 << " (scripts/setup installs them)";
  const QString python = pythonWithAtSpi();
  if (python.isEmpty()) GTEST_SKIP() << "no assistive technology client: python3-pyatspi missing";
  auto sites = testing::startReferenceSites();
  ASSERT_TRUE(sites->running()) << "qelvora-sites did not start";
  Server bus, x, w;  // ended in the reverse order
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const std::string failed = startDesktop(x, w, wm, env, &bus);
  ASSERT_TRUE(failed.empty()) << failed;
  env.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // A browser that notes being asked.
  QFile opener(dir.filePath("xdg-open"));
  ASSERT_TRUE(opener.open(QFile::WriteOnly));
  opener.write(("#!/bin/sh\necho \"$@\" >> " + dir.filePath("browsed") + "\n").toUtf8());
  opener.close();
  opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  env.insert("PATH", dir.path() + ":" + env.value("PATH"));
  env.insert("XDG_DATA_HOME", dir.path());

  QProcess program;
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  const QString host = QString::fromStdString(sites->host());
  program.start(QELVORA_WINDOW_PROGRAM, {"--time-host", host, "--source1-host", host,
                                         "--source2-host", host, "--source3-host", host});
  QProcess driver;
  driver.setProcessEnvironment(env);
  driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  driver.start(python, {"-c", kDriver});
  ASSERT_TRUE(serveUntil([&] { return driver.state() == QProcess::NotRunning; }, 240000));
  const auto seen = keyValues(driver.readAllStandardOutput().toStdString());
  const auto at = [&](const char* key) {
    auto it = seen.find(key);
    return it == seen.end() ? std::string("(none)") : it->second;
  };
  EXPECT_EQ(at("timeout"), "(none)") << "the driver waited in vain";
  EXPECT_EQ(at("main-role"), "frame");
  EXPECT_EQ(at("speed-showing"), "0") << "the speed box lies below the visible area";
  EXPECT_EQ(at("question-showing"), "1");
  EXPECT_EQ(at("answer"), "问：天空为什么是蓝色的_")
      << "the question set from outside was not asked";
  EXPECT_EQ(at("picture-role"), "dialog");
  EXPECT_EQ(at("picture-modal"), "1");
  ASSERT_EQ(program.state(), QProcess::Running);

  QProcess close;
  close.setProcessEnvironment(env);
  QElapsedTimer clock;
  clock.start();
  close.start("wmctrl", {"-c", "Qelvora"});
  const bool ended = serveUntil([&] { return program.state() == QProcess::NotRunning; }, 10000);
  const qint64 ms = clock.elapsed();
  ASSERT_TRUE(ended) << "the program still runs after the close";
  std::cout << wm.front().toStdString() << ": the program ended " << ms
            << " ms after the close request\n";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_FALSE(QFile::exists(dir.filePath("browsed"))) << "quitting opened the browser";
  close.waitForFinished();
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, CloseWithPictureOpen,
                         ::testing::Values("openbox", "xfwm4 --compositor=off --sm-client-disable"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           const std::string wm = p.param;
                           return wm.substr(0, wm.find(' '));
                         });

// ---------------------------------------------------------------------------------------------
// Wayland

// Under the compositor: the main window, then the picture window for holdMs.
int waylandChild(int argc, char** argv) {
  QApplication app(argc, argv);
  FormModel model;
  WindowViews views(model);
  views.showMainWindow();
  const int holdMs = argc >= 4 ? std::atoi(argv[3]) : 500;
  model.handlers.pictureWindowCreated = [&] {
    QTimer::singleShot(holdMs, &model, [&] { model.closePictureWindow(); });
  };
  QTimer::singleShot(500, &model, [&] { model.openPictureWindow(); });
  QTimer::singleShot(1000 + holdMs, &app, &QApplication::quit);
  return app.exec();
}

// The picture window is a child of the main window for the compositor (xdg_toplevel.set_parent),
// as the client's own protocol trace shows.
TEST(Desktop, PictureWindowHasTheMainWindowAsWaylandParent) {
  if (QString missing = missingPrograms({"weston"}); !missing.isEmpty())
    GTEST_SKIP() << "no Wayland compositor: " << missing.toStdString()
                 << " (scripts/setup installs weston)";
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_RUNTIME_DIR", runtime.path());
  env.insert("WAYLAND_DISPLAY", "qelvora-test");
  env.remove("DISPLAY");
  Server weston;
  weston.process.setProcessEnvironment(env);
  weston.process.setProcessChannelMode(QProcess::MergedChannels);
  weston.process.start("weston", {"--backend=headless-backend.so", "--socket=qelvora-test",
                                  "--idle-time=0", "--width=1024", "--height=768"});
  ASSERT_TRUE(serveUntil(
      [&] {
        return QFile::exists(runtime.filePath("qelvora-test")) ||
               weston.process.state() == QProcess::NotRunning;
      },
      20000));
  ASSERT_EQ(weston.process.state(), QProcess::Running) << weston.process.readAll().toStdString();

  QProcess child;
  env.insert("QT_QPA_PLATFORM", "wayland");
  env.insert("WAYLAND_DEBUG", "client");
  // The keyboard library's strndup, as in the X server (startDesktop); the Wayland client library
  // and Qt's Wayland plug-in keep process-lifetime allocations, which this child is not about.
  if (env.contains("ASAN_OPTIONS"))
    env.insert("ASAN_OPTIONS",
               env.value("ASAN_OPTIONS") + ":strict_string_checks=0:detect_leaks=0");
  child.setProcessEnvironment(env);
  child.start(QCoreApplication::applicationFilePath(), {"--child", "wayland"});
  ASSERT_TRUE(child.waitForFinished(60000));
  const QString trace = QString::fromUtf8(child.readAllStandardError());
  EXPECT_EQ(child.exitCode(), 0) << trace.right(3000).toStdString();
  // The picture window's toplevel by its title, and the toplevel it names as its parent.
  const auto objectOf = [&](const QString& call) {
    const QRegularExpressionMatch m =
        QRegularExpression("-> (xdg_toplevel@\\d+)\\." + call).match(trace);
    return m.hasMatch() ? m.captured(1) : QString();
  };
  const QString picture = objectOf(QStringLiteral("set_title\\(\"相关图片\"\\)"));
  const QString main = objectOf(QStringLiteral("set_title\\(\"Qelvora\"\\)"));
  ASSERT_FALSE(picture.isEmpty()) << "no picture window in the trace";
  ASSERT_FALSE(main.isEmpty()) << "no main window in the trace";
  EXPECT_TRUE(trace.contains(picture + ".set_parent(" + main + ")"))
      << "the picture window's parent is not the main window";
}

// ---------------------------------------------------------------------------------------------
// Sound

// The real program (offscreen) with the sound server it was given: when the welcome text begins
// and when its last character has been typed, then a second of quiet before the window closes.
int soundChild(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  Application& app = runProgram(qtApp, [](Application& started) {
    std::cout << "typing-start=" << std::fixed << monotonicMs() << "\n" << std::flush;
    auto* poll = new QTimer(&started.model);
    poll->setTimerType(Qt::PreciseTimer);
    QObject::connect(poll, &QTimer::timeout, [&started, poll] {
      if (started.model.disabled(ctl::kAskButton)) return;
      poll->stop();
      std::cout << "typing-end=" << std::fixed << monotonicMs() << "\n" << std::flush;
      QTimer::singleShot(1000, &started.model,
                         [&started] { started.views->mainWindow()->close(); });
    });
    poll->start(2);
  });
  exitRoutine(app);
  endProcess(0);
}

// What parec delivers: blocks of 16-bit stereo frames, each noted with the monotonic time it
// arrived (the time of its last frame).
struct Recording {
  std::vector<std::int16_t> samples;                     // interleaved left, right
  std::vector<std::pair<std::size_t, double>> arrivals;  // sample count so far, arrival time

  // Arrival-based time of the frame that starts at sample index i.
  double timeOf(std::size_t i) {
    auto it = std::lower_bound(arrivals.begin(), arrivals.end(), std::make_pair(i + 1, 0.0));
    if (it == arrivals.end()) return arrivals.empty() ? 0 : arrivals.back().second;
    return it->second - static_cast<double>(it->first - i) / 2 / 44.1;
  }
};

TEST(Desktop, TheTuneIsHeardWhileTypingAndStopsWithTheLastCharacter) {
  if (QString missing = missingPrograms({"pulseaudio", "parec"}); !missing.isEmpty())
    GTEST_SKIP() << "no sound server to listen on: " << missing.toStdString()
                 << " (packages pulseaudio, pulseaudio-utils; scripts/setup installs them)";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QString socket = dir.filePath("native");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* var :
       {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"})
    env.insert(var, dir.path());
  env.insert("PULSE_SERVER", "unix:" + socket);

  Server pulse;
  pulse.process.setProcessEnvironment(env);
  pulse.process.start(
      "pulseaudio",
      {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
       "--log-level=error", "-L", "module-null-sink sink_name=qelvora_test rate=44100 channels=2",
       "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket});
  ASSERT_TRUE(serveUntil([&] { return QFile::exists(socket); }, 20000))
      << "pulseaudio did not start";

  Recording recording;
  Server parec;
  parec.process.setProcessEnvironment(env);
  QObject::connect(&parec.process, &QProcess::readyReadStandardOutput, [&parec, &recording] {
    const QByteArray bytes = parec.process.read(parec.process.bytesAvailable() & ~qint64(3));
    if (bytes.isEmpty()) return;
    const auto* p = reinterpret_cast<const std::int16_t*>(bytes.constData());
    recording.samples.insert(recording.samples.end(), p, p + bytes.size() / 2);
    recording.arrivals.emplace_back(recording.samples.size(), monotonicMs());
  });
  parec.process.start("parec", {"-d", "qelvora_test.monitor", "--raw", "--format=s16le",
                                "--rate=44100", "--channels=2", "--latency-msec=10"});
  // Recording once blocks of (silent) frames arrive.
  ASSERT_TRUE(serveUntil([&] { return recording.samples.size() > 44100; }, 20000))
      << "parec recorded nothing";

  QProcess child;
  env.insert("QT_QPA_PLATFORM", "offscreen");
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  child.start(QCoreApplication::applicationFilePath(), {"--child", "sound"});
  ASSERT_TRUE(serveUntil([&] { return child.state() == QProcess::NotRunning; }, 60000));
  serveUntil([] { return false; }, 200);  // the last blocks
  const auto values = keyValues(child.readAllStandardOutput().toStdString());
  ASSERT_TRUE(values.count("typing-start") && values.count("typing-end"));
  const double start = std::stod(values.at("typing-start"));
  const double end = std::stod(values.at("typing-end"));

  const std::vector<std::int16_t>& s = recording.samples;
  // Where the tune begins and ends in the recording: the first and the last sound.
  const auto loud = [](std::int16_t v) { return v > 8 || v < -8; };
  const auto first = std::find_if(s.begin(), s.end(), loud);
  ASSERT_NE(first, s.end()) << "nothing was heard";
  const std::size_t on = std::size_t(first - s.begin()) & ~std::size_t(1);
  const std::size_t off = std::size_t(std::find_if(s.rbegin(), s.rend(), loud).base() - s.begin());
  const double heardFrom = recording.timeOf(on);
  const double heardTo = recording.timeOf(off);

  // The tune itself, sample for sample: 0.1 s from its first sound on matches the tune from a point
  // near its beginning (the server may drop the first few milliseconds of a new stream).
  const std::string_view wav = embeddedSound();
  const std::string_view data = wav.substr(wav.find("data") + 8);
  std::vector<std::int16_t> tune(data.size() / 2);
  std::memcpy(tune.data(), data.data(), tune.size() * 2);
  constexpr std::size_t kCompared = 8820;
  ASSERT_GT(s.size(), on + kCompared);
  const auto matches = [&](std::size_t from, std::size_t count) {
    std::size_t same = 0;
    for (std::size_t i = 0; i < count; ++i) same += std::abs(s[on + i] - tune[from + i]) <= 1;
    return same;
  };
  std::size_t best = 0;
  for (std::size_t from = 0; from < 44100; from += 2)
    if (matches(from, 64) > matches(best, 64)) best = from;
  EXPECT_GT(matches(best, kCompared), kCompared * 99 / 100) << "what was heard is not the tune";

  // Heard from the start of the typing to its end, without a gap of silence of 100 ms.
  std::size_t longestQuiet = 0;
  for (std::size_t i = on, quiet = 0; i < off; ++i) {
    quiet = loud(s[i]) ? 0 : quiet + 1;
    longestQuiet = std::max(longestQuiet, quiet);
  }
  EXPECT_LT(longestQuiet, 2u * 4410) << "a gap in the tune while typing";
  // The recording's times are inferred from when parec's blocks arrive, and the sink renders ahead
  // in blocks of its own: a sound may be placed a block early or late. The comparisons allow for
  // that; a tune that starts or stops out of step with the typing is still far outside.
  constexpr double kSlackMs = 300;
  EXPECT_GT(heardFrom, start - kSlackMs) << "the tune began before the typing";
  EXPECT_LT(heardFrom - start, 1000) << "the tune began late";
  EXPECT_GT(heardTo, end - kSlackMs) << "the tune stopped before the typing ended";
  EXPECT_LT(heardTo, end + kSlackMs) << "the tune went on after the last character";
  EXPECT_GT(recording.timeOf(s.size() - 1), end + 800) << "the recording ended too early";
  std::cout << "tune heard from " << heardFrom - start << " ms after the typing began until "
            << heardTo - end << " ms after its last character\n";
}

int child(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[2], "placement") == 0) return placementChild(argc, argv);
  if (argc >= 3 && std::strcmp(argv[2], "sound") == 0) return soundChild(argc, argv);
  if (argc >= 3 && std::strcmp(argv[2], "wayland") == 0) return waylandChild(argc, argv);
  return 3;
}
const bool childRegistered = testing::setChildMain(&child);

}  // namespace
}  // namespace qelvora
