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

// Saves what this process has changed and not yet saved (a save after a response leaves its
// changes noted when the file's lock stays busy), waiting for the lock as a save does (about
// 30 s). Empty when every cookie is in the file; otherwise one line saying why not.
std::string saveCookiesNow();

}  // namespace qelvora
