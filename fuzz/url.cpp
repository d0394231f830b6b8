// URL splitting, both families. A URL put together from a host, a port and a path must split back
// into exactly those parts; any byte string at all must give a path that is "/" or a tail of the
// URL, a lower-case host, and so on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "base/text_cut.h"
#include "fuzz/check.h"
#include "fuzz/reference_text.h"
#include "web/url.h"

using namespace qelvora;
using fuzz::expect;
using fuzz::expectNumber;
using fuzz::expectText;

namespace {

std::string lower(std::string_view s) {
  return ref::changeCase(s, false);
}

// A host of ASCII letters, digits, '-', '.' and two-byte GBK characters (whose trail bytes are
// never '/', ':' or '.'), so that it holds no separator at a character start.
std::string makeHost(FuzzedDataProvider& in) {
  static const char kAscii[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.";
  std::string host;
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(1, 12);
  while (host.size() < length) {
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
      host += static_cast<char>(in.ConsumeIntegralInRange(0x81, 0xFE));
      unsigned char trail = in.ConsumeIntegralInRange(0x40, 0xFE);
      host += static_cast<char>(trail == 0x7F ? 0x80 : trail);
    } else {
      host += kAscii[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kAscii - 2)];
    }
  }
  return host;
}

void checkComposed(FuzzedDataProvider& in) {
  const int scheme = in.ConsumeIntegralInRange(0, 3);
  static const char* const kSchemes[] = {"", "http://", "https://", "HTTP://"};
  const std::string host = makeHost(in);
  std::string portText;
  if (in.ConsumeBool()) portText = std::to_string(in.ConsumeIntegralInRange(0, 99999));
  std::string path;
  if (in.ConsumeBool()) path = "/" + in.ConsumeRandomLengthString(64);
  const std::string url = kSchemes[scheme] + host + (portText.empty() ? "" : ":" + portText) + path;

  const int port = portText.empty() ? 80 : std::stoi(portText);
  const std::string wantPath = path.empty() ? "/" : path;
  // The path is looked for behind the first occurrence of the host, which may lie in the scheme.
  const bool hostInScheme =
      std::string_view(kSchemes[scheme]).find(lower(host)) != std::string::npos;
  // The plain family takes the first "http://" anywhere as the scheme.
  const bool httpInPath = scheme != 1 && path.find("http://") != std::string::npos;

  if (scheme == 3) {  // an upper-case scheme is known to the port routine only
    expectText("urlHost of HTTP://", urlHost(url), "http");
    expectNumber("urlPort of HTTP://", urlPort(url), port);
    return;
  }
  expectText("urlHost", urlHost(url), lower(host));
  expectNumber("urlPort", urlPort(url), scheme == 2 ? 0 : port);
  if (!hostInScheme) expectText("urlPath", urlPath(url), wantPath);

  if (httpInPath) return;
  if (scheme == 2) {
    expectText("httpHost of https", httpHost(url), "https");
    expectNumber("httpPort of https", httpPort(url), 0);
    return;
  }
  expectText("httpHost", httpHost(url), lower(host));
  expectText("httpHost with port", httpHost(url, true),
             lower(host) + (portText.empty() ? "" : ":" + portText));
  expectNumber("httpPort", httpPort(url), port);
  if (!hostInScheme) expectText("httpPath", httpPath(url), wantPath);
}

bool pathOf(std::string_view url, std::string_view path) {
  return path == "/" || (path.starts_with('/') && url.ends_with(path));
}

void checkAnyBytes(FuzzedDataProvider& in) {
  const bool ignoreCase = in.ConsumeBool();
  const int start = in.ConsumeIntegralInRange(-1, 70);
  const std::string delimiter = in.ConsumeRandomLengthString(4);
  const std::string url = in.ConsumeRemainingBytesAsString();

  expect(pathOf(url, httpPath(url)), "httpPath is neither / nor a tail of the URL");
  expect(pathOf(url, urlPath(url)), "urlPath is neither / nor a tail of the URL");
  const std::string host = httpHost(url), hostAndPort = httpHost(url, true);
  expect(hostAndPort.starts_with(host), "httpHost is not the start of httpHost with the port");
  expectText("httpHost is lower-case", lower(host), host);
  expectText("urlHost is lower-case", lower(urlHost(url)), urlHost(url));
  httpPort(url);
  urlPort(url);

  const int at = ref::find(url, delimiter, std::max(start, 1), ignoreCase);
  expectText("textBefore", textBefore(url, delimiter, start, ignoreCase),
             at == -1 ? std::string() : url.substr(0, static_cast<std::size_t>(at) - 1));

  if (isBrowsableAddress(url)) {
    for (unsigned char c : url)
      expect(c >= 0x20 && c != 0x7F, "browsable address with a control byte");
    const std::string l = lower(url);
    expect(l.starts_with("http://") || l.starts_with("https://"), "browsable address not http(s)");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool())
    checkComposed(in);
  else
    checkAnyBytes(in);
  return 0;
}
