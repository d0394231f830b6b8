#include "cli/options.h"

#include <cstdint>
#include <map>

namespace qelvora::cli {

namespace {

// "host" or "host:port" (an IPv6 address in brackets); nothing a URL would read as more.
bool isHost(std::string_view h) {
  if (h.empty()) return false;
  for (unsigned char c : h)
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\')
      return false;
  std::size_t close = h.rfind(']');
  std::size_t colon = h.rfind(':');
  if (h.front() == '[' && close == std::string_view::npos) return false;
  if (colon == std::string_view::npos || (close != std::string_view::npos && colon < close))
    return true;
  if (colon == 0) return false;
  if (h.front() != '[' && h.find(':') != colon) return false;  // bare IPv6 needs brackets
  std::string_view port = h.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace

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
  const std::map<std::string, std::optional<std::string>*, std::less<>> hostOptions = {
      {"--time-host", &o.timeHost},
      {"--source1-host", &o.source1Host},
      {"--source2-host", &o.source2Host},
      {"--source3-host", &o.source3Host},
  };
  const std::map<std::string, bool*, std::less<>> switches = {
      {"--instant", &o.instant}, {"--set-clock", &o.setClock},
      {"--gbk", &o.gbk},         {"--help", &o.help},
      {"-h", &o.help},
  };
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    if (auto s = switches.find(name); s != switches.end()) {
      if (inlineValue) return fail("option " + name + " takes no value");
      *s->second = true;
      continue;
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    if (name == "--source") {
      auto v = value();
      if (!v) return fail("--source needs a number");
      if (*v != "1" && *v != "2" && *v != "3") return fail("--source must be 1, 2 or 3");
      o.source = (*v)[0] - '0';
    } else if (name == "--speed") {
      auto v = value();
      if (!v) return fail("--speed needs a value");
      if (!isValidUtf8(*v)) return fail("--speed is not valid UTF-8");
      o.speed = *v;
    } else if (auto h = hostOptions.find(name); h != hostOptions.end()) {
      auto v = value();
      if (!v) return fail(name + " needs a host");
      if (!isHost(*v)) return fail(name + " must be a host or host:port: " + *v);
      *h->second = *v;
    } else if (name == "--cookie-file" || name == "--picture-out") {
      auto v = value();
      if (!v || v->empty()) return fail(name + " needs a path");
      (name == "--cookie-file" ? o.cookieFile : o.pictureOut) = *v;
    } else {
      return fail("unknown option " + name);
    }
  }
  if (o.help) {
    r.ok = true;
    return r;
  }
  if (positional.empty()) return fail("no question given");
  if (positional.size() > 1) return fail("more than one question given (quote the question)");
  o.question = positional.front();
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
         "  -h, --help          show this text\n"
         "Exit status: 0 when the answer has been typed, 2 on a usage error.\n";
}

}  // namespace qelvora::cli
