// Splitting URLs into host, port and path. Two families: http* for the plain page-fetch client
// (knows only "http://" or no scheme) and url* for the client with time-out (also "https://").
// Pure functions; a URL of an unexpected shape yields whatever the steps produce.
// Also the small marker cuts that the fetch clients and the answer sources share.
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

// The bytes of text before the first delimiter found at or after start; empty when not found.
Text textBefore(std::string_view text, std::string_view delimiter, int start = 1,
                bool ignoreCase = false);

// The text strictly between the first startMarker and the first endMarker after it (both searched
// ignoring ASCII case, the placeholder "#引号" standing for a double quote); empty when either is
// missing.
Text cutBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker);

// Whether an address taken from a web page may be handed to the desktop's browser: an http or
// https address with a host and without control characters. Anything else (an empty text, file:,
// javascript:, ...) is never opened.
bool isBrowsableAddress(std::string_view address);

}  // namespace qelvora
