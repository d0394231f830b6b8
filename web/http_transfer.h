// One HTTP exchange on libcurl (one easy handle), shared by the page-fetch clients and the
// whole-file fetch: the header text goes on the wire as built by the caller, curl adds none of its
// own defaults that the text lacks, the body is capped, and an abandoned exchange stops early.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/text.h"
#include "web/request_log.h"

namespace qelvora {

// Larger bodies make a failed fetch rather than unbounded memory.
inline constexpr std::size_t kMaxBodyBytes = 64u << 20;

struct HttpExchange {
  std::string url;     // scheme://host:port/path as curl should request it
  std::string method;  // the verb on the wire, as given; empty = GET
  bool post = false;   // send postData as the body
  std::string postData;
  Text headers;  // header lines, CR LF separated, sent in this order
  std::string userAgent;
  std::string proxy;     // host:port used for http; empty = direct
  std::string userName;  // empty = none
  std::string password;  // empty = none
  bool followRedirects = true;
  bool useCookieStore = true;  // send stored cookies and keep received ones
  bool http10 = false;
  long connectTimeoutSeconds = 0;                // 0 = curl's default
  long totalTimeoutSeconds = 0;                  // 0 = none
  const std::atomic<bool>* abandoned = nullptr;  // set by a caller that stopped waiting
};

struct HttpResult {
  bool tooLarge = false;    // the body passed kMaxBodyBytes; body then empty
  bool aborted = false;     // stopped because the caller abandoned it
  bool transferOk = false;  // curl reported success
  bool refused = false;     // no connection could be made: nothing listens there
  bool sawSetCookie = false;
  int status = 0;               // of the final response; 0 when none arrived
  std::string error;            // libcurl's text when the transfer failed
  std::uint64_t bodyBytes = 0;  // received of the final response's body, kept or not
  Bytes body;                   // what was received of the final response's body
  Text headerBlock;             // status line and headers of the final response, CR LF, blank line
};

HttpResult performExchange(const HttpExchange& exchange);

// The outcome fields of a request record (status, error, bytes, network failure) for a result.
void describeOutcome(const HttpResult& result, RequestRecord& record);

// The outcome of a request that got no HTTP response, for the reason given.
RequestRecord networkFailure(std::string error);

// Completes outcome with method, url and the time since start and hands it to the observer.
void reportOutcome(RequestRecord outcome, std::string_view method, std::string_view url,
                   std::chrono::steady_clock::time_point start);

// path with the bytes that a request line cannot carry (space, control bytes) as %XX; every other
// byte is left as given.
std::string escapeRequestPath(std::string_view path);

// True when a header line named name (case-insensitive, before its colon) is in headers.
bool hasHeaderLine(std::string_view headers, std::string_view name);

}  // namespace qelvora
