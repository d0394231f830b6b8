// The process-wide cookie store shared by every request. It is persisted as a Netscape cookie file
// (mode 0600, rewritten atomically) under $XDG_DATA_HOME/qelvora/ (or ~/.local/share/qelvora/), so
// cookies outlive the run.
#pragma once

#include <string>

namespace qelvora {

// Uses path as the cookie file from now on (tests and the terminal tool's --cookie-file).
// Call before the first request.
void setCookieFilePath(std::string path);
std::string cookieFilePath();

}  // namespace qelvora
