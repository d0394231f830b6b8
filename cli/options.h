// Command line of qelvora-ask: the question and the settings a user would otherwise make in the
// window (answer source, typing speed) plus the terminal's own switches.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelvora::cli {

struct AskOptions {
  std::string question;      // UTF-8 as given; "-" reads it from standard input
  int source = 1;            // 1, 2 or 3: the selection of 组合框1 plus one
  std::string speed = "40";  // content of 编辑框2 (UTF-8 as given)
  std::optional<std::string> timeHost, source1Host, source2Host, source3Host;
  std::optional<std::string> cookieFile;
  std::optional<std::string> pictureOut;
  bool instant = false;
  bool setClock = false;
  bool gbk = false;
  bool verbose = false;
  bool help = false;
  bool version = false;
};

struct ParsedOptions {
  bool ok = false;
  std::string error;  // why the command line was refused (when !ok)
  AskOptions options;
};

// args: the command line without the program name. Options may come before or after the
// question and take their value as the next argument or after "="; "--" ends the options; "-"
// is the question read from standard input.
ParsedOptions parseAskOptions(const std::vector<std::string>& args);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// A question read from standard input loses one line break at its end (the one `echo` adds).
std::string questionFromInput(std::string text);

const char* usageText();

}  // namespace qelvora::cli
