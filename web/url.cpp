#include "web/url.h"

#include "base/bytes.h"

namespace qelvora {

namespace {

// The longest numeric prefix of a port text, truncated to an int; 0 when there is none.
int portNumber(std::string_view portText) {
  return toInteger(toNumber(portText));
}

// The colon before the port: the first one, or for a bracketed IPv6 literal ("[::1]:8750") the
// first one behind its closing bracket; -1 when there is none.
int portColon(std::string_view authority) {
  int from = 1;
  if (leftText(authority, 1) == "[") {
    const int close = findText(authority, "]", 1, false);
    if (close != -1) from = close + 1;
  }
  return findText(authority, ":", from, false);
}

}  // namespace

// The host starts after the first "http://" anywhere in the URL (or at the start when there is
// none) and runs to the next "/"; the port stays on it only when asked for.
Text httpHost(std::string_view url, bool keepPort) {
  int scheme = findText(url, "http://", 1, false);
  int start = scheme == -1 ? 1 : scheme + 7;
  int slash = findText(url, "/", start, false);
  Text piece = midText(url, start, slash != -1 ? slash - start : textLength(url));
  if (!keepPort) {
    int colon = portColon(piece);
    if (colon != -1) piece = leftText(piece, colon - 1);
  }
  return toLower(piece);
}

Text httpPath(std::string_view url) {
  Text host = httpHost(url, false);
  int hostAt = findText(url, host, 1, true);
  int slash = findText(url, "/", hostAt, true);
  if (slash == -1) return "/";
  return midText(url, slash, textLength(url) - slash + 1);
}

int httpPort(std::string_view url) {
  Text hostAndPort = httpHost(url, true);
  int colon = portColon(hostAndPort);
  if (colon == -1) return 80;
  return portNumber(rightText(hostAndPort, textLength(hostAndPort) - colon));
}

// Only lower-case schemes are removed, wherever they stand in the URL.
Text urlHost(std::string_view url) {
  Text rest = replaceText(url, "https://", {}, 1, std::nullopt, true);
  rest = replaceText(rest, "http://", {}, 1, std::nullopt, true);
  int slash = findText(rest, "/", 1, false);
  if (slash != -1) rest = leftText(rest, slash - 1);
  int colon = portColon(rest);
  if (colon != -1) rest = leftText(rest, colon - 1);
  return toLower(rest);
}

Text urlPath(std::string_view url) {
  Text host = urlHost(url);
  int hostAt = findText(url, host, 1, true);
  int slash = findText(url, "/", hostAt, true);
  if (slash <= 0) return "/";
  return midText(url, slash, textLength(url) - slash + 1);
}

// The secure port is the client's business: an "https://" URL gives the scheme as its authority
// piece and so port 0 here.
int urlPort(std::string_view url) {
  Text authority;
  if (compareText(leftText(url, 7), "http://", false) == 0) {
    int slash = findText(url, "/", 8, true);
    authority = slash != -1 ? midText(url, 8, slash - 8) : rightText(url, textLength(url) - 7);
  } else {
    int slash = findText(url, "/", 1, true);
    authority = slash != -1 ? leftText(url, slash - 1) : Text(url);
  }
  int colon = portColon(authority);
  if (colon == -1) return portNumber("80");
  return portNumber(rightText(authority, textLength(authority) - colon));
}

bool isBrowsableAddress(std::string_view address) {
  if (hasControlByte(address)) return false;
  Text lower = toLower(address);
  std::size_t rest;
  if (lower.starts_with("http://"))
    rest = 7;
  else if (lower.starts_with("https://"))
    rest = 8;
  else
    return false;
  std::string_view authority = address.substr(rest);
  authority = authority.substr(0, authority.find_first_of("/?#\\"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos)
    authority = authority.substr(at + 1);
  std::string_view host = authority.substr(0, authority.rfind(':'));
  if (!authority.empty() && authority.front() == '[')  // IPv6 literal
    host = authority.substr(0, authority.find(']') + 1);
  return !host.empty() && host.find(' ') == std::string_view::npos;
}

}  // namespace qelvora
