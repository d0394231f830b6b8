#include "web/http_transfer.h"

#include <curl/curl.h>
#include <sys/mman.h>

#include <cstdint>

#include <string_view>
#include <vector>

#include "base/text.h"
#include "web/curl_handles.h"
#include "web/http_cookies.h"

namespace qelvora {
namespace {

bool sameNoCase(std::string_view a, std::string_view b) {
  return compareText(a, b, false) == 0;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && sameNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The header text's lines, without their line ends and without empty lines (an empty line would
// end the request head early).
std::vector<std::string> headerLines(std::string_view headers) {
  std::vector<std::string> lines;
  while (!headers.empty()) {
    auto lf = headers.find('\n');
    std::string_view line = headers.substr(0, lf);
    headers = lf == std::string_view::npos ? std::string_view() : headers.substr(lf + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
  }
  return lines;
}

// A large body is filled at memory speed: asking for huge pages saves most of the page faults that
// writing fresh memory otherwise costs. Only a hint; nothing depends on it being taken.
void adviseHugePages(std::string& buffer) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  if (buffer.capacity() < 2 * kHuge) return;
  auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + buffer.capacity()) & ~(kHuge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

struct Transfer {
  CURL* handle = nullptr;
  const HttpExchange* exchange = nullptr;
  HttpResult result;
  bool reserved = false;
};

bool isAbandoned(const Transfer& t) {
  return t.exchange->abandoned && t.exchange->abandoned->load(std::memory_order_relaxed);
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  std::size_t n = size * count;
  if (isAbandoned(t)) {
    t.result.aborted = true;
    return 0;
  }
  std::string& body = t.result.body.data;
  t.result.bodyBytes += n;
  if (n > kMaxBodyBytes - body.size()) {
    t.result.tooLarge = true;
    return 0;
  }
  if (!t.reserved) {
    // One allocation for the whole body when the server announces its length.
    t.reserved = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0 && static_cast<std::size_t>(length) <= kMaxBodyBytes) {
      body.reserve(static_cast<std::size_t>(length));
      adviseHugePages(body);
    }
  }
  body.append(data, n);
  return n;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  std::size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  Text& block = t.result.headerBlock;
  // Each response (redirects, interim 1xx) starts a new block: the final one is kept.
  if (startsWithNoCase(line, "HTTP/")) {
    block.clear();
    t.reserved = false;
    t.result.body.data.clear();
    t.result.bodyBytes = 0;
  }
  block.append(line);
  block.append("\r\n");
  if (startsWithNoCase(line, "Set-Cookie:")) t.result.sawSetCookie = true;
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  if (isAbandoned(t)) {
    t.result.aborted = true;
    return 1;
  }
  return 0;
}

}  // namespace

std::string escapeRequestPath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void describeOutcome(const HttpResult& result, RequestRecord& record) {
  record.status = result.status;
  record.bytes = result.bodyBytes;
  record.error = result.tooLarge ? "body over the limit" : result.error;
  record.networkFailure = result.tooLarge || !result.transferOk;
  record.refused = result.refused;
}

RequestRecord networkFailure(std::string error) {
  RequestRecord record;
  record.error = std::move(error);
  record.networkFailure = true;
  return record;
}

void reportOutcome(RequestRecord outcome, std::string_view method, std::string_view url,
                   std::chrono::steady_clock::time_point start) {
  if (!requestObserverSet()) return;
  outcome.method = method;
  outcome.url = url;
  outcome.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
  reportRequest(outcome);
}

bool hasHeaderLine(std::string_view headers, std::string_view name) {
  for (const std::string& line : headerLines(headers)) {
    auto colon = line.find(':');
    if (colon != std::string::npos &&
        sameNoCase(trimBlanks(std::string_view(line).substr(0, colon)), name))
      return true;
  }
  return false;
}

HttpResult performExchange(const HttpExchange& exchange) {
  Transfer t;
  t.exchange = &exchange;
  cookieShare();  // initialises libcurl before the first handle
  // Declared first, freed last: the handle refers to it until its own cleanup.
  HeaderList list;
  EasyHandle handle(curl_easy_init());
  if (!handle) return t.result;
  CURL* h = t.handle = handle.get();

  curl_easy_setopt(h, CURLOPT_URL, exchange.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                   exchange.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, exchange.followRedirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, exchange.userAgent.c_str());
  // An empty proxy also keeps curl from taking one from the environment.
  std::string proxy = exchange.proxy.empty() ? std::string() : "http://" + exchange.proxy;
  curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
  if (!exchange.userName.empty() || !exchange.password.empty()) {
    curl_easy_setopt(h, CURLOPT_USERNAME, exchange.userName.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, exchange.password.c_str());
    // Credentials go out only when the server asks for them.
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
  }
  if (exchange.connectTimeoutSeconds > 0)
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, exchange.connectTimeoutSeconds);
  if (exchange.totalTimeoutSeconds > 0)
    curl_easy_setopt(h, CURLOPT_TIMEOUT, exchange.totalTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024L);
  if (exchange.useCookieStore) useCookieStore(h);

  if (exchange.post) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(exchange.postData.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, exchange.postData.data());
    if (exchange.method != "POST")
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, exchange.method.c_str());
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    if (!exchange.method.empty() && exchange.method != "GET")
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, exchange.method.c_str());
  }

  // The caller's header text is the request head; curl's own defaults are switched off where
  // the text has no such line.
  for (const std::string& line : headerLines(exchange.headers)) appendHeader(list, line.c_str());
  if (!hasHeaderLine(exchange.headers, "Accept")) appendHeader(list, "Accept:");
  if (!hasHeaderLine(exchange.headers, "Expect")) appendHeader(list, "Expect:");
  if (exchange.post) {
    if (!hasHeaderLine(exchange.headers, "Content-Type")) appendHeader(list, "Content-Type:");
    // Without a body no length line is sent; with one and no line of the caller's, curl's own
    // correct length is kept so that the server can find the end of the body.
    if (exchange.postData.empty() && !hasHeaderLine(exchange.headers, "Content-Length"))
      appendHeader(list, "Content-Length:");
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());

  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

  char errorText[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

  CURLcode code = curl_easy_perform(h);
  t.result.transferOk = code == CURLE_OK;
  t.result.refused = code == CURLE_COULDNT_CONNECT;
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK)
    t.result.status = static_cast<int>(status);
  if (code != CURLE_OK) t.result.error = errorText[0] ? errorText : curl_easy_strerror(code);
  handle.reset();
  list.reset();
  if (t.result.tooLarge || t.result.aborted) t.result.body = Bytes();
  if (t.result.sawSetCookie && exchange.useCookieStore) persistCookies();
  return std::move(t.result);
}

}  // namespace qelvora
