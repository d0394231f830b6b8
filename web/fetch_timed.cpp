// The page-fetch client with an overall time limit: http and https, a caller's cookie text,
// optional redirects and page conversions. Request and reply travel as one record of seven blocks.
#include <chrono>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "base/stream.h"
#include "base/text.h"
#include "base/text_cut.h"
#include "web/encoding.h"
#include "web/fetch.h"
#include "web/http_cookies.h"
#include "web/http_handoff.h"
#include "web/http_transfer.h"
#include "web/url.h"

namespace qelvora {
namespace {

const char kDefaultAgent[] =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
const char kDefaultAccept[] =
    "Accept: image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, application/vnd.ms-powerpoint, "
    "application/msword, */*\r\n";

enum Slot {
  kBody = 0,
  kMethodOrCookies = 1,
  kProxy,
  kHeaders,
  kPostData,
  kCookieOrHeaders,
  kFollow
};

void writeSlots(int stream, std::vector<Bytes> slots) {
  seekToStart(stream);
  writeRecords(stream, {std::move(slots)});
}

void timedRequestWorker(RequestHandoff& handoff) {
  int stream = handoff.stream;
  if (stream == 0) return;
  seekToStart(stream);
  std::vector<Bytes> slots(7);
  if (!readRecords(stream, {&slots})) return;

  Text url = toText(slots[kBody]);
  Text method = toText(slots[kMethodOrCookies]);
  Text headers = toText(slots[kHeaders]);
  Text cookies = toText(slots[kCookieOrHeaders]);
  bool follow = toText(slots[kFollow]) == toText(true);
  // Secure only by the scheme: "https://" further on (say, in the query) is just data.
  bool secure = leftText(toLower(url), 8) == "https://";
  Text host = urlHost(url);
  Text path = urlPath(url);
  int port = secure ? 443 : urlPort(url);
  if (port == 0) port = 80;

  HttpExchange exchange;
  exchange.url = (secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
                 escapeRequestPath(path);
  exchange.method = method;
  exchange.userAgent = findText(headers, "User-Agent:", 1, true) > 0
                           ? trimSpaces(cutBetween(headers, "User-Agent:", "\r\n"))
                           : Text(kDefaultAgent);
  if (!slots[kProxy].empty() && !secure) exchange.proxy = toText(slots[kProxy]);
  // A secure request follows redirects and uses the cookie store whatever it was told.
  bool ownCookies = !trimSpaces(cookies).empty() && !secure;
  exchange.useCookieStore = !ownCookies;
  exchange.followRedirects = follow || secure;

  Text h = headers;
  if (findText(h, "Accept", 1, true) < 1) h += kDefaultAccept;
  if (findText(h, "RefererNo", 1, false) > 0) {
    h = replaceText(h, "RefererNo", "", 1, 1, true);
  } else if (findText(h, "Referer", 1, true) < 1) {
    h += "Referer: " + url + "\r\n";
  }
  if (findText(h, "Accept-Language", 1, true) < 1) h += "Accept-Language: zh-cn\r\n";
  if (method == "POST") {
    const Bytes& data = slots[kPostData];
    if (!data.empty()) {
      if (findText(h, "Content-Type", 1, true) < 1)
        h += "Content-Type: application/x-www-form-urlencoded\r\n";
      if (findText(h, "Content-Length", 1, true) < 1)
        h += "Content-Length: " + std::to_string(data.size()) + "\r\n";
    }
    exchange.post = true;
    exchange.postData = data.data;
  }
  if (!cookies.empty()) h += "Cookie: " + cookies + "\r\n\r\n";
  exchange.headers = std::move(h);
  exchange.abandoned = &handoff.abandoned;

  HttpResult result = performExchange(exchange);
  describeOutcome(result, handoff.outcome);
  if (result.aborted) return;
  if (result.tooLarge) {
    // Failure reply; the optional outputs then stay empty rather than echoing the request.
    slots[kBody] = Bytes();
    slots[kFollow] = Bytes();
    slots[kMethodOrCookies] = Bytes();
    slots[kCookieOrHeaders] = Bytes();
    writeSlots(stream, std::move(slots));
    return;
  }

  Text block = result.headerBlock.substr(0, result.headerBlock.find('\0'));
  Text cookieList;
  if (findText(block, "Set-Cookie: ", 1, true) > 0) {
    int lines = openMemoryStream();
    writeRawText(lines, {block});
    seekToStart(lines);
    bool stored = false;
    // Stops at an end-of-file mark too: a 0x1A byte in a header would otherwise never be passed.
    while (!atEnd(lines, true)) {
      Text line = readLine(lines);
      if (findText(line, "Set-Cookie: ", 1, true) < 1) continue;
      line = midText(line, 13, textLength(line));
      Text pair = findText(line, ";") > 0 ? textBefore(line, ";") : line;
      cookieList += pair + ";";
      // Without the caller's cookie text the cookie store has taken them in already.
      if (ownCookies && findText(line, "=") > 0) {
        storeCookie(host, line);
        stored = true;
      }
    }
    closeStream(lines);
    if (stored) persistCookies();
  }
  slots[kBody] = Bytes();  // the body goes beside the stream, moved
  slots[kMethodOrCookies] = toBytes(cookieList);
  slots[kCookieOrHeaders] = toBytes(block);
  writeSlots(stream, std::move(slots));
  handoff.body = std::move(result.body);
}

}  // namespace

Text timedOutMessage() {
  static const Text message = utf8ToGbk(
      "超时返回，指定网站不能访问，或者你的网络出现问题，你可以把参数中的＂超时返回＂的值设置长一些"
      "。");
  return message;
}

Bytes fetchPageTimed(Text& url, const FetchTimedOptions& options) {
  auto start = std::chrono::steady_clock::now();
  if (trimSpaces(url).empty()) return {};
  if (leftText(url, 7) != "http://" && leftText(url, 8) != "https://") url = "http://" + url;
  const char* verb = options.method == TimedMethod::Post ? "POST" : "GET";
  auto timedOut = [&](const char* why) {
    reportOutcome(networkFailure(why), verb, url, start);
    return toBytes(timedOutMessage());
  };

  long long limitMs = options.timeoutSeconds ? *options.timeoutSeconds * 1000LL : 60000LL;
  // Nothing could finish within the limit: no request is made at all.
  if (limitMs <= 0) return timedOut("time-out");
  if (hasControlByte(url)) {
    // Fails as an unreachable host does: no page, no header block, no cookies.
    if (options.responseHeaders) options.responseHeaders->clear();
    if (options.newCookies) options.newCookies->clear();
    reportOutcome(networkFailure("refused: control byte in URL"), verb, url, start);
    return {};
  }

  std::vector<Bytes> record{toBytes(url),
                            toBytes(verb),
                            toBytes(options.proxy),
                            toBytes(options.headers),
                            options.postData,
                            toBytes(options.cookies),
                            toBytes(toText(options.followRedirects))};
  auto handoff = std::make_shared<RequestHandoff>();
  if (handoff->stream == 0 || !writeRecords(handoff->stream, {record})) return {};
  handoff->outcome = networkFailure("request not made");

  auto deadline = start + std::chrono::milliseconds(limitMs);
  if (!startRequestThread(handoff, timedRequestWorker))
    return timedOut("request thread not started");
  // A request that finished only after the limit counts as timed out as well.
  if (!waitForRequest(*handoff, deadline) || std::chrono::steady_clock::now() >= deadline) {
    handoff->abandoned = true;
    return timedOut("time-out");
  }

  std::vector<Bytes> slots(7);
  seekToStart(handoff->stream);
  bool read = readRecords(handoff->stream, {&slots});
  handoff->closeNow();
  reportOutcome(handoff->outcome, verb, url, start);
  if (!read) return record[kBody];
  slots[kBody] = std::move(handoff->body);
  if (options.responseHeaders) *options.responseHeaders = toText(slots[kCookieOrHeaders]);
  if (options.newCookies) *options.newCookies = toText(slots[kMethodOrCookies]);
  switch (options.conversion) {
    case PageConversion::Utf8ToGbk:
      return toBytes(utf8ToGbk(toText(slots[kBody])));
    case PageConversion::Big5ToSimplifiedGbk:
      return toBytes(big5ToSimplified(toText(slots[kBody])));
    case PageConversion::None:
      break;
  }
  return std::move(slots[kBody]);
}

}  // namespace qelvora
