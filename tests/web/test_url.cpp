#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "web/url.h"

namespace qelvora {
namespace {

struct UrlCase {
  std::string url;
  std::string httpHost, httpHostWithPort, httpPath;
  int httpPort;
  std::string urlHost, urlPath;
  int urlPort;
};

// Both families side by side: where they agree and where the http-only family gives odd pieces.
const UrlCase kUrlCases[] = {
    {"http://Host.Example:8080/a/b?c=1", "host.example", "host.example:8080", "/a/b?c=1", 8080,
     "host.example", "/a/b?c=1", 8080},
    {"http://127.0.0.1:18080/search/?q=%61", "127.0.0.1", "127.0.0.1:18080", "/search/?q=%61",
     18080, "127.0.0.1", "/search/?q=%61", 18080},
    {"http://host", "host", "host", "/", 80, "host", "/", 80},
    // No slash after the host: the query stays on the host and the path is "/".
    {"http://host?x=1", "host?x=1", "host?x=1", "/", 80, "host?x=1", "/", 80},
    {"host/p", "host", "host", "/p", 80, "host", "/p", 80},
    {"", "", "", "/", 80, "", "/", 80},
    // The http family knows no https: the scheme is taken for the host.
    {"https://host/p", "https", "https:", "//host/p", 0, "host", "/p", 0},
    {"https://Host:443/x", "https", "https:", "//Host:443/x", 0, "host", "/x", 0},
    // Upper-case scheme: urlPort recognises it, urlHost does not remove it.
    {"HTTP://host/x", "http", "http:", "//host/x", 0, "http", "//host/x", 80},
    {"http://x:abc/", "x", "x:abc", "/", 0, "x", "/", 0},
    {"http://x:81x/", "x", "x:81x", "/", 81, "x", "/", 81},
    {"http://x:  82/", "x", "x:  82", "/", 82, "x", "/", 82},
    // A scheme that is not at the start: only the http family looks behind it.
    {"go http://h.cn/p", "h.cn", "h.cn", "/p", 80, "go h.cn", "//h.cn/p", 0},
    // A bracketed IPv6 literal keeps its colons; the port follows the bracket.
    {"http://[::1]:8750/q/k", "[::1]", "[::1]:8750", "/q/k", 8750, "[::1]", "/q/k", 8750},
    {"http://[FE80::A]/", "[fe80::a]", "[fe80::a]", "/", 80, "[fe80::a]", "/", 80},
};

TEST(UrlSplitting, BothFamilies) {
  for (const UrlCase& c : kUrlCases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(httpHost(c.url), c.httpHost);
    EXPECT_EQ(httpHost(c.url, true), c.httpHostWithPort);
    EXPECT_EQ(httpPath(c.url), c.httpPath);
    EXPECT_EQ(httpPort(c.url), c.httpPort);
    EXPECT_EQ(urlHost(c.url), c.urlHost);
    EXPECT_EQ(urlPath(c.url), c.urlPath);
    EXPECT_EQ(urlPort(c.url), c.urlPort);
  }
}

TEST(IsBrowsableAddress, Table) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"http://127.0.0.1:8750/down/setup.exe", true},
      {"https://example.org/a?b=c#d", true},
      {"HTTP://host/", true},
      {"hTTpS://host", true},
      {"http://user@host/x", true},
      {"http://[::1]:8080/x", true},
      {"http://\xd6\xd0\xce\xc4.cn/x", true},
      {"", false},
      {"   ", false},
      {" http://host/", false},
      {"http://", false},
      {"http:///etc/passwd", false},
      {"http://:80/", false},
      {"http://user@/x", false},
      {"http:host/x", false},
      {"http:\\\\host\\x", false},
      {"http://\\host", false},
      {"ftp://host/file", false},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"data:text/html,<b>x</b>", false},
      {"mailto:a@b", false},
      {"smb://host/share", false},
      {"host/setup.exe", false},
      {"http://host/a\r\nb", false},
      {"http://host/\t", false},
      {std::string("http://host/\0x", 14), false},
  };
  for (auto& [address, ok] : cases) EXPECT_EQ(isBrowsableAddress(address), ok) << address;
}

}  // namespace
}  // namespace qelvora
