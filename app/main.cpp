// The program entry: the start-up sequence, the window loop until the main window closes, the exit
// routine, and exit code 0.
#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/startup.h"
#include "base/hosts.h"

namespace {

constexpr char kUsage[] =
    "usage: qelvora [--help] [--version] [--time-host H] [--source1-host H] [--source2-host H]\n"
    "               [--source3-host H] [Qt options such as -platform NAME or -style NAME]\n"
    "Opens the Qelvora window: type a question, pick an answer source and press \"智能解答\".\n"
    "  -h, --help          show this text\n"
    "  --version           show the version\n"
    "  --time-host H       host[:port] of the time service\n"
    "  --source1-host H    host[:port] of answer site 1\n"
    "  --source2-host H    host[:port] of answer site 2\n"
    "  --source3-host H    host[:port] of answer site 3\n"
    "Without a host option the hosts the program was built with are asked.\n";

// Answers --help, --version and a command line it cannot take before any window system is
// needed; nullopt when the window is to open. Qt's own options are accepted here and left for
// QApplication.
std::optional<int> handledCommandLine(int argc, char** argv) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{"h", "help"}), version("version");
  const QCommandLineOption timeHost("time-host", {}, "H"), source1Host("source1-host", {}, "H"),
      source2Host("source2-host", {}, "H"), source3Host("source3-host", {}, "H");
  parser.addOptions({help, version, timeHost, source1Host, source2Host, source3Host});
  for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin",
                           "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display",
                           "geometry", "style", "stylesheet", "qmljsdebugger", "fontengine"}) {
    QCommandLineOption qtOption(QString::fromLatin1(name), {}, QStringLiteral("value"));
    qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(qtOption);
  }
  for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
    QCommandLineOption qtSwitch(QString::fromLatin1(name));
    qtSwitch.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(qtSwitch);
  }
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
    const QString why =
        parser.errorText().isEmpty()
            ? QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().value(0))
            : parser.errorText();
    std::fprintf(stderr, "qelvora: %s\n%s", why.toLocal8Bit().constData(), kUsage);
    return 2;
  }
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::puts("qelvora " QELVORA_VERSION);
    return 0;
  }
  // Set before the window exists, so before anything can be asked.
  qelvora::Hosts chosen = qelvora::hosts();
  const std::pair<const QCommandLineOption*, std::string*> hostOptions[] = {
      {&timeHost, &chosen.time},
      {&source1Host, &chosen.source1},
      {&source2Host, &chosen.source2},
      {&source3Host, &chosen.source3},
  };
  for (const auto& [option, target] : hostOptions) {
    if (!parser.isSet(*option)) continue;
    const QByteArray value = parser.value(*option).toLocal8Bit();
    if (!qelvora::isHost(
            std::string_view(value.constData(), static_cast<std::size_t>(value.size())))) {
      std::fprintf(stderr, "qelvora: --%s must be a host or host:port: %s\n%s",
                   option->names().front().toLocal8Bit().constData(), value.constData(), kUsage);
      return 2;
    }
    *target = value.toStdString();
  }
  qelvora::hosts() = chosen;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::optional<int> status = handledCommandLine(argc, argv)) return *status;
  QApplication qtApp(argc, argv);
  // The desktop entry, the metainfo and the icon share this id.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.qelvora.Qelvora"));
  qelvora::Application& app = qelvora::runProgram(qtApp);
  qelvora::exitRoutine(app);
  qelvora::endProcess(0);
}
