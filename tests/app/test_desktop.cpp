// The program on a real desktop, each part in servers of the test's own: the windows' frames
// centred under a window manager (an X server, Xvfb, with openbox), and the tune heard through a
// sound server (PulseAudio with a null sink, recorded from the sink's monitor with parec). A test
// skips, saying what is missing, where these programs are not installed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QProcess>
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

TEST(Desktop, FramesAreCentredUnderAWindowManager) {
  if (QString missing = missingPrograms({"Xvfb", "openbox", "xprop"}); !missing.isEmpty())
    GTEST_SKIP() << "no X server with a window manager to place windows in: "
                 << missing.toStdString() << " (scripts/setup installs them)";
  Server x;
  x.process.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
  ASSERT_TRUE(serveUntil([&] { return x.process.canReadLine(); }, 20000)) << "Xvfb did not start";
  const QString display = ":" + QString::fromLatin1(x.process.readLine()).trimmed();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", display);
  env.insert("QT_QPA_PLATFORM", "xcb");

  // Ready once it has announced itself on the root window. One that ends or stays silent is
  // started once more; what it said goes into the failure message.
  Server wm;
  wm.process.setProcessEnvironment(env);
  wm.process.setProcessChannelMode(QProcess::MergedChannels);
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
    if (wm.process.state() != QProcess::NotRunning) {
      wm.process.kill();
      wm.process.waitForFinished();
    }
    wm.process.start("openbox", {});
    serveUntil(
        [&] { return wm.process.state() == QProcess::NotRunning || (managing = announced()); },
        30000);
    if (!managing)
      attempts += "attempt " + std::to_string(attempt) +
                  (wm.process.state() == QProcess::NotRunning
                       ? ": ended with code " + std::to_string(wm.process.exitCode())
                       : ": no announcement in 30 s") +
                  ", output: " + wm.process.readAll().toStdString() + "\n";
  }
  ASSERT_TRUE(managing) << "openbox did not start\n" << attempts;

  // The X keyboard library hands strndup names that are not NUL-terminated (legal: it reads at
  // most n bytes), which the sanitizer build's strict string checks take for an overflow.
  if (env.contains("ASAN_OPTIONS"))
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":strict_string_checks=0");
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
  return 3;
}
const bool childRegistered = testing::setChildMain(&child);

}  // namespace
}  // namespace qelvora
