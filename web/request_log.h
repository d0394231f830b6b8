// A process-wide observer of the requests the page-fetch clients make (qelvora-ask --verbose and
// its exit status). Costs one atomic load per request while no observer is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qelvora {

struct RequestRecord {
  std::string method;       // "GET" / "POST" as sent
  std::string url;          // the URL as requested (after the timed client adds http://)
  int status = 0;           // HTTP status of the final response; 0 when no response arrived
  std::string error;        // why the transfer failed: libcurl's text, or "refused: control byte in
                            // URL", "time-out", "body over the limit", ...; empty on success
  std::uint64_t bytes = 0;  // body bytes received
  std::int64_t milliseconds = 0;
  bool networkFailure = false;  // no connection, time-out, TLS failure, body over the limit,
                                // refused URL: anything but a whole HTTP response
  bool refused = false;         // no connection could be made: nothing listens at the host
};

// Called once per request, when it ends or when its client stops waiting for it, on the thread
// that made the request. Any thread may set or clear (empty function) the observer.
void setRequestObserver(std::function<void(const RequestRecord&)> observer);

// "PROGRAM: nothing answers at HOST:PORT; start qelvora-sites (man qelvora-sites)" when the
// request found nothing listening at the time service's or an answer site's host (hosts()), so
// that a person learns why every answer is the no-answer reply; empty for any other outcome.
std::string nothingAnswersLine(std::string_view program, const RequestRecord& record);

// For the fetch clients.
bool requestObserverSet();
void reportRequest(const RequestRecord& record);

}  // namespace qelvora
