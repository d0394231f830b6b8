// Splitting URLs into host, port and path. Two families: http* for the plain page-fetch client
// (knows only "http://" or no scheme) and url* for the client with time-out (also "https://").
// Pure functions; a URL of an unexpected shape yields whatever the steps produce.
#pragma once

#include <string_view>

#include "base/text.h"

namespace qelvora {

Text httpHost(std::string_view url, bool keepPort = false);
Text httpPath(std::string_view url);
int httpPort(std::string_view url);

Text urlHost(std::string_view url);
Text urlPath(std::string_view url);
int urlPort(std::string_view url);

// Whether an address taken from a web page may be handed to the desktop's browser: an http or
// https address with a host and without control characters. Anything else (an empty text, file:,
// javascript:, ...) is never opened.
bool isBrowsableAddress(std::string_view address);

}  // namespace qelvora
