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

// Saves what this process has changed and not yet saved: a save after a response waits only
// briefly for a busy lock and leaves the rest to a thread of its own, which a process that ends
// must wait for. Waits about 30 s in all; empty when every cookie is in the file, otherwise one
// line saying why not.
std::string saveCookiesNow();

}  // namespace qelvora
