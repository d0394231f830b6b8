#include "web/http_whole_file.h"

#include "base/bytes.h"
#include "web/http_transfer.h"

namespace qelvora {

Bytes httpGetWholeFile(std::string_view url) {
  auto start = std::chrono::steady_clock::now();
  if (hasControlByte(url)) {
    reportOutcome(networkFailure("refused: control byte in URL"), "GET", url, start);
    return {};
  }
  HttpExchange exchange;
  exchange.url = std::string(url);
  exchange.method = "GET";
  exchange.http10 = true;
  exchange.userAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
  // Forces a fresh copy from the server past any cache on the way.
  exchange.headers = "Accept: */*\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";
  exchange.connectTimeoutSeconds = 30;
  exchange.totalTimeoutSeconds = 30;
  HttpResult result = performExchange(exchange);
  RequestRecord outcome;
  describeOutcome(result, outcome);
  reportOutcome(std::move(outcome), "GET", url, start);
  if (result.tooLarge) return {};
  return std::move(result.body);
}

}  // namespace qelvora
