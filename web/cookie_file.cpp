#include "web/cookie_file.h"

#include <array>
#include <limits>
#include <unordered_map>

#include "base/bytes.h"

namespace qelvora {
namespace {

constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";
constexpr std::size_t kMaxDomainBytes = 255;
constexpr std::size_t kMaxPathBytes = 1024;

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && lowered(s.substr(0, prefix.size())) == lowered(prefix);
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// A host name or an IP address. Anything else (a keyword, a header line, markup) is refused, so
// that no line handed on to libcurl can be read by it as anything but a cookie.
bool validDomain(std::string_view domain) {
  if (domain.empty() || domain.size() > kMaxDomainBytes) return false;
  bool colon = false, nonHex = false;
  for (char c : domain) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '.' && c != '_' && c != ':') return false;
    if (c == ':') colon = true;
    if (alnum && !isHexDigit(c)) nonHex = true;
    if (c == '-' || c == '_') nonHex = true;
  }
  return !colon || !nonHex;
}

bool validPath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > kMaxPathBytes) return false;
  for (char c : path)
    if (isControlByte(c)) return false;
  return true;
}

// Neither may end the pair early in a Cookie line, nor hold a control byte.
bool validName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (isControlByte(c) || c == ';' || c == '=') return false;
  return true;
}

bool validValue(std::string_view value) {
  for (char c : value)
    if (isControlByte(c) || c == ';') return false;
  return true;
}

std::optional<bool> parseFlag(std::string_view field) {
  std::string f = lowered(field);
  if (f == "true") return true;
  if (f == "false") return false;
  return std::nullopt;
}

std::optional<std::int64_t> parseExpiry(std::string_view field) {
  if (field.empty()) return std::nullopt;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

// libcurl refuses these names unless the cookie keeps the promise of its prefix; refused here too,
// so that the store and the file agree.
bool keepsPrefixPromise(const Cookie& c) {
  if (startsWithNoCase(c.name, "__Secure-")) return c.secure;
  if (startsWithNoCase(c.name, "__Host-")) return c.secure && !c.includeSubdomains && c.path == "/";
  return true;
}

}  // namespace

std::optional<Cookie> parseCookieLine(std::string_view line) {
  Cookie c;
  if (line.substr(0, kHttpOnlyPrefix.size()) == kHttpOnlyPrefix) {
    c.httpOnly = true;
    line.remove_prefix(kHttpOnlyPrefix.size());
  } else if (line.empty() || line.front() == '#') {
    return std::nullopt;
  }
  std::array<std::string_view, 7> fields;
  std::size_t count = 0;
  for (;;) {
    auto tab = line.find('\t');
    if (count == fields.size()) return std::nullopt;
    fields[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  if (count != fields.size()) return std::nullopt;

  std::string_view domain = fields[0];
  while (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  c.domain = lowered(domain);
  auto subdomains = parseFlag(fields[1]);
  auto secure = parseFlag(fields[3]);
  auto expires = parseExpiry(fields[4]);
  if (!validDomain(c.domain) || !subdomains || !validPath(fields[2]) || !secure || !expires ||
      !validName(fields[5]) || !validValue(fields[6]) ||
      fields[5].size() + fields[6].size() > kMaxCookieBytes)
    return std::nullopt;
  c.includeSubdomains = *subdomains;
  c.path = fields[2];
  c.secure = *secure;
  c.expires = *expires;
  c.name = fields[5];
  c.value = fields[6];
  if (!keepsPrefixPromise(c)) return std::nullopt;
  return c;
}

std::string formatCookieLine(const Cookie& c) {
  std::string line;
  if (c.httpOnly) line += kHttpOnlyPrefix;
  if (c.includeSubdomains) line += '.';
  line += c.domain;
  line += c.includeSubdomains ? "\tTRUE\t" : "\tFALSE\t";
  line += c.path;
  line += c.secure ? "\tTRUE\t" : "\tFALSE\t";
  line += std::to_string(c.expires);
  line += '\t';
  line += c.name;
  line += '\t';
  line += c.value;
  return line;
}

std::string cookieKey(const Cookie& c) {
  std::string_view path = c.path;
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::string key = lowered(c.domain);
  key += c.includeSubdomains ? "\t1\t" : "\t0\t";
  key += path;
  key += '\t';
  key += lowered(c.name);
  return key;
}

void boundCookies(std::vector<Cookie>& cookies) {
  std::unordered_map<std::string, std::size_t> perHost;
  std::vector<bool> keep(cookies.size(), false);
  std::size_t kept = 0;
  // From the newest back: the newest cookies of each host and of the whole store stay.
  for (std::size_t i = cookies.size(); i-- > 0;) {
    const Cookie& c = cookies[i];
    if (kept == kMaxCookies || c.name.size() + c.value.size() > kMaxCookieBytes) continue;
    std::size_t& n = perHost[lowered(c.domain)];
    if (n == kMaxCookiesPerHost) continue;
    ++n;
    ++kept;
    keep[i] = true;
  }
  if (kept == cookies.size()) return;
  std::vector<Cookie> bounded;
  bounded.reserve(kept);
  for (std::size_t i = 0; i < cookies.size(); ++i)
    if (keep[i]) bounded.push_back(std::move(cookies[i]));
  cookies = std::move(bounded);
}

std::vector<Cookie> parseCookieFile(std::string_view content) {
  std::vector<Cookie> cookies;
  std::unordered_map<std::string, std::size_t> index;
  while (!content.empty()) {
    auto lf = content.find('\n');
    std::string_view line = content.substr(0, lf);
    content = lf == std::string_view::npos ? std::string_view() : content.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto cookie = parseCookieLine(line);
    if (!cookie) continue;
    auto [it, added] = index.emplace(cookieKey(*cookie), cookies.size());
    if (added)
      cookies.push_back(std::move(*cookie));
    else
      cookies[it->second] = std::move(*cookie);
  }
  boundCookies(cookies);
  return cookies;
}

std::string formatCookieFile(const std::vector<Cookie>& cookies) {
  std::string out = "# Netscape HTTP Cookie File\n# Oldest first; written by Qelvora.\n\n";
  for (const Cookie& c : cookies) {
    out += formatCookieLine(c);
    out += '\n';
  }
  return out;
}

}  // namespace qelvora
