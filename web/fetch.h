// The two page-fetch clients. Each fetch runs its HTTP exchange (libcurl) on a request thread of
// its own and waits for it while serving the calling thread's events. Both share the process-wide
// cookie store (web/cookie_store.h).
#pragma once

#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/text.h"

namespace qelvora {

struct FetchPageOptions {
  Text method;                      // "GET"/"POST" in any letter case; empty = GET; sent as given
  Text proxy;                       // host:port for http; empty = direct
  Text userName;                    // empty = none
  Text password;                    // empty = none
  Text headers;                     // extra header lines, each ending with CR LF
  Text postData;                    // form data sent with POST
  int timeoutSeconds = 0;           // longest quiet wait for the request thread; 0 = 90
  Text* responseHeaders = nullptr;  // receives the raw response header block when given
};

// The body exactly as received; empty on any failure or time-out.
Bytes fetchPage(std::string_view url, const FetchPageOptions& options = {});

// The text that fetchPageTimed returns in place of a page when its limit is reached (GBK).
Text timedOutMessage();

enum class TimedMethod { Get, Post };

// What fetchPageTimed does to the body before handing it back.
enum class PageConversion {
  None,
  Utf8ToGbk,           // a UTF-8 page as GBK text
  Big5ToSimplifiedGbk  // a Big5 page as GBK text with simplified characters
};

struct FetchTimedOptions {
  TimedMethod method = TimedMethod::Get;
  Text proxy;                         // host:port for http; empty = direct
  Text headers;                       // extra lines; may hold User-Agent and RefererNo
  Bytes postData;                     // data sent with POST
  Text cookies;                       // sent as a Cookie line; replaces stored cookies
  std::optional<int> timeoutSeconds;  // overall limit; absent = 60, 0 times out at once
  Text* responseHeaders = nullptr;    // receives the raw response header block when given
  PageConversion conversion = PageConversion::None;
  Text* newCookies = nullptr;  // receives "name=value;" pairs set by the response
  bool followRedirects = true;
};

// url gets "http://" put in front when it has no scheme; the caller's variable receives it.
// Returns the (converted) body, the empty block on failure, or the bytes of timedOutMessage().
Bytes fetchPageTimed(Text& url, const FetchTimedOptions& options = {});

// Request threads still running, abandoned ones included (a client that stopped waiting leaves its
// thread to end by itself shortly after). For tests and an orderly shutdown.
int runningRequestThreads();

}  // namespace qelvora
