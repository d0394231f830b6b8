#include "cli/options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdint>
#include <utility>

#include "base/hosts.h"

namespace qelvora::cli {

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0, n = text.size();
  while (i < n) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    int extra;
    std::uint32_t cp, min;
    if ((b & 0xE0) == 0xC0) {
      extra = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i <= static_cast<std::size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string questionFromInput(std::string text) {
  if (text.ends_with("\r\n"))
    text.resize(text.size() - 2);
  else if (text.ends_with("\n"))
    text.pop_back();
  return text;
}

ParsedOptions parseAskOptions(const std::vector<std::string>& args) {
  ParsedOptions r;
  AskOptions& o = r.options;
  auto fail = [&](std::string why) {
    r.ok = false;
    r.error = std::move(why);
    return r;
  };
  // Arguments are bytes: read as Latin-1 they pass through the parser unchanged, and a question
  // that is no valid UTF-8 can still be refused as such.
  auto bytesOf = [](const QString& value) { return value.toLatin1().toStdString(); };
  const QCommandLineOption help(QStringList{"h", "help"}), version("version"), verbose("verbose");
  const QCommandLineOption instant("instant"), setClock("set-clock"), gbk("gbk");
  const QCommandLineOption source("source", {}, "N"), speed("speed", {}, "TEXT");
  const QCommandLineOption cookieFile("cookie-file", {}, "PATH");
  const QCommandLineOption pictureOut("picture-out", {}, "PATH");
  const QCommandLineOption timeHost("time-host", {}, "H"), source1Host("source1-host", {}, "H"),
      source2Host("source2-host", {}, "H"), source3Host("source3-host", {}, "H");
  QCommandLineParser parser;
  parser.addOptions({help, version, verbose, instant, setClock, gbk, source, speed, cookieFile,
                     pictureOut, timeHost, source1Host, source2Host, source3Host});
  QStringList arguments{QStringLiteral("qelvora-ask")};
  for (const std::string& arg : args)
    arguments << QString::fromLatin1(arg.data(), static_cast<qsizetype>(arg.size()));
  if (!parser.parse(arguments)) return fail(bytesOf(parser.errorText()));

  o.help = parser.isSet(help);
  o.version = parser.isSet(version);
  o.verbose = parser.isSet(verbose);
  o.instant = parser.isSet(instant);
  o.setClock = parser.isSet(setClock);
  o.gbk = parser.isSet(gbk);
  if (parser.isSet(source)) {
    const std::string v = bytesOf(parser.value(source));
    if (v != "1" && v != "2" && v != "3") return fail("--source must be 1, 2 or 3");
    o.source = v[0] - '0';
  }
  if (parser.isSet(speed)) {
    o.speed = bytesOf(parser.value(speed));
    if (!isValidUtf8(o.speed)) return fail("--speed is not valid UTF-8");
  }
  const std::pair<const QCommandLineOption*, std::optional<std::string>*> hostOptions[] = {
      {&timeHost, &o.timeHost},
      {&source1Host, &o.source1Host},
      {&source2Host, &o.source2Host},
      {&source3Host, &o.source3Host},
  };
  for (const auto& [option, target] : hostOptions) {
    if (!parser.isSet(*option)) continue;
    const std::string v = bytesOf(parser.value(*option));
    const std::string name = "--" + option->names().front().toStdString();
    if (!isHost(v)) return fail(name + " must be a host or host:port: " + v);
    *target = v;
  }
  for (const auto& [option, target] :
       {std::pair{&cookieFile, &o.cookieFile}, std::pair{&pictureOut, &o.pictureOut}}) {
    if (!parser.isSet(*option)) continue;
    const std::string v = bytesOf(parser.value(*option));
    if (v.empty()) return fail("--" + option->names().front().toStdString() + " needs a path");
    *target = v;
  }
  if (o.help || o.version) {
    r.ok = true;
    return r;
  }
  const QStringList positional = parser.positionalArguments();
  if (positional.empty()) return fail("no question given");
  if (positional.size() > 1) return fail("more than one question given (quote the question)");
  o.question = bytesOf(positional.front());
  if (!isValidUtf8(o.question)) return fail("the question is not valid UTF-8");
  r.ok = true;
  return r;
}

const char* usageText() {
  return "usage: qelvora-ask [options] QUESTION\n"
         "Asks QUESTION (UTF-8; \"-\" reads it from standard input) and types the answer.\n"
         "  --source N          answer source 1 (fuzzy), 2 (exact) or 3 (software); default 1\n"
         "  --speed TEXT        milliseconds per typed character; default 40\n"
         "  --time-host H       host[:port] of the time service\n"
         "  --source1-host H    host[:port] of answer site 1\n"
         "  --source2-host H    host[:port] of answer site 2\n"
         "  --source3-host H    host[:port] of answer site 3\n"
         "  --cookie-file PATH  cookie file to use instead of the user's\n"
         "  --instant           no waiting: pauses and typing take no time\n"
         "  --picture-out PATH  write the related picture (GIF) of a software answer to PATH\n"
         "  --set-clock         set the system clock after a built-in answer (needs the right)\n"
         "  --gbk               write the answer as GBK bytes instead of UTF-8\n"
         "  --verbose           one line per HTTP request on standard error: method, URL,\n"
         "                      status or error, bytes, milliseconds\n"
         "  -h, --help          show this text\n"
         "  --version           show the version\n"
         "Exit status: 0 the answer has been typed; 1 the answer, the picture or the cookies\n"
         "could not be written; 2 usage error; 3 the answer has been typed, but a page fetch\n"
         "failed at the network level (no connection, time-out, TLS failure, body over the "
         "limit).\n";
}

}  // namespace qelvora::cli
