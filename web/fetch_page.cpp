// The plain page-fetch client: GET or POST over http, the request and reply handed to a request
// thread as records headed by marker words.
#include <chrono>
#include <memory>

#include "base/bytes.h"
#include "base/stream.h"
#include "base/text.h"
#include "web/fetch.h"
#include "web/http_handoff.h"
#include "web/http_transfer.h"
#include "web/url.h"

namespace qelvora {
namespace {

const char kRequestMarker[] = "NoxHelm";
const char kReplyMarker[] = "NoxHelm_OK";
const char kAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
const char kDefaultAccept[] =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*\r\n";

// Leaves the stream empty (a failed fetch) unless the exchange completed.
void pageRequestWorker(RequestHandoff& handoff) {
  int stream = handoff.stream;
  if (stream == 0) return;
  seekToStart(stream);
  Text marker;
  if (!readRecords(stream, {&marker}) || marker != kRequestMarker) return;
  Text url, method, proxy, userName, password, headers, postData;
  readRecords(stream, {&url, &method, &proxy, &userName, &password, &headers, &postData});
  seekToStart(stream);
  deleteBytes(stream, streamLength(stream));

  Text host = httpHost(url, false);
  Text path = httpPath(url);
  int port = httpPort(url);
  if (port == 0) port = 80;  // no port number means the service's own

  HttpExchange exchange;
  exchange.url = "http://" + host + ":" + std::to_string(port) + escapeRequestPath(path);
  exchange.method = method;
  exchange.userAgent = kAgent;
  if (!removeSpaces(proxy).empty()) exchange.proxy = proxy;
  if (!removeSpaces(userName).empty()) exchange.userName = userName;
  if (!removeSpaces(password).empty()) exchange.password = password;

  Text h = headers;
  if (findText(h, "Accept: ", 1, true) < 1) h += kDefaultAccept;
  if (findText(h, "Referer: ", 1, true) < 1) h += "Referer: " + url + "\r\n";
  if (findText(h, "Accept-Language: ", 1, true) < 1) h += "Accept-Language: zh-cn\r\n";

  Text verb = toUpper(method);
  if (verb == "POST") {
    if (!postData.empty()) {
      if (findText(h, "Content-Type: ", 1, true) < 1)
        h += "Content-Type: application/x-www-form-urlencoded\r\n";
      h += "Content-Length: " + std::to_string(postData.size()) + "\r\n";
    }
    exchange.post = true;
    exchange.postData = postData;
  } else if (!verb.empty() && verb != "GET") {
    handoff.outcome.error = "refused: unsupported method";
    handoff.outcome.networkFailure = false;
    return;
  }
  exchange.headers = std::move(h);
  exchange.abandoned = &handoff.abandoned;

  HttpResult result = performExchange(exchange);
  describeOutcome(result, handoff.outcome);
  if (result.tooLarge || result.aborted) return;
  Text block = result.headerBlock.substr(0, result.headerBlock.find('\0'));
  seekToStart(stream);
  writeRecords(stream, {Text(kReplyMarker), std::move(block), Bytes()});
  handoff.body = std::move(result.body);
}

}  // namespace

Bytes fetchPage(std::string_view url, const FetchPageOptions& options) {
  auto start = std::chrono::steady_clock::now();
  std::string_view verb = options.method.empty() ? std::string_view("GET") : options.method;
  if (hasControlByte(url)) {
    // Fails as an unreachable host does.
    if (options.responseHeaders) options.responseHeaders->clear();
    reportOutcome(networkFailure("refused: control byte in URL"), verb, url, start);
    return {};
  }
  auto handoff = std::make_shared<RequestHandoff>();
  if (handoff->stream == 0) return {};
  writeRecords(handoff->stream,
               {Text(kRequestMarker), Text(url), options.method, options.proxy, options.userName,
                options.password, options.headers, options.postData});
  handoff->outcome = networkFailure("request not made");
  // A negative limit would otherwise mean a practically endless wait.
  int seconds = options.timeoutSeconds > 0 ? options.timeoutSeconds : 90;
  auto deadline = start + std::chrono::seconds(seconds);

  bool started = startRequestThread(handoff, pageRequestWorker);
  if (!started || !waitForRequest(*handoff, deadline)) {
    // Left to end by itself: it stops at its next progress check and never reports back.
    handoff->abandoned = true;
    if (options.responseHeaders) options.responseHeaders->clear();
    reportOutcome(networkFailure(started ? "time-out" : "request thread not started"), verb, url,
                  start);
    return {};
  }

  Text marker, headerBlock;
  Bytes body;
  seekToStart(handoff->stream);
  readRecords(handoff->stream, {&marker, &headerBlock, &body});
  handoff->closeNow();
  reportOutcome(handoff->outcome, verb, url, start);
  if (options.responseHeaders) *options.responseHeaders = headerBlock;
  if (marker != kReplyMarker) return {};
  return std::move(handoff->body);
}

}  // namespace qelvora
