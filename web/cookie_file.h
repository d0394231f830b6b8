// The Netscape cookie-file format, read strictly: seven TAB-separated fields per line (domain,
// include-subdomains, path, secure, expiry, name, value), an optional "#HttpOnly_" prefix,
// comments and blank lines. Pure functions over bytes; the cookie store does the file work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelvora {

struct Cookie {
  std::string domain;  // lower-case, no leading dot
  bool includeSubdomains = false;
  std::string path = "/";
  bool secure = false;
  bool httpOnly = false;
  std::int64_t expires = 0;  // seconds since the epoch; 0 = session cookie
  std::string name;
  std::string value;

  bool operator==(const Cookie&) const = default;
};

// Bounds of a store, as browsers keep them; beyond them the oldest cookies go first.
inline constexpr std::size_t kMaxCookiesPerHost = 50;
inline constexpr std::size_t kMaxCookies = 3000;
inline constexpr std::size_t kMaxCookieBytes = 4096;  // name + value

// One line (without its line end); nothing for a comment, a blank or a malformed line. The domain
// loses its leading dots and is lower-cased; an expiry beyond the clock's range saturates.
std::optional<Cookie> parseCookieLine(std::string_view line);

// The line for a cookie that parseCookieLine accepted (a subdomain cookie's domain gets its dot).
std::string formatCookieLine(const Cookie& cookie);

// Whether two cookies are the same slot of a store: a later one replaces the earlier one. Names
// and domains compare without case, paths without a trailing slash (as libcurl matches them).
std::string cookieKey(const Cookie& cookie);

// Keeps at most kMaxCookiesPerHost per domain and kMaxCookies in all, dropping the oldest (the
// front of the list, which is in creation order), and drops cookies over kMaxCookieBytes.
void boundCookies(std::vector<Cookie>& cookies);

// Every well-formed line in file order (the order of creation), a repeated cookie replacing the
// earlier one in its place, bounded. Malformed lines are skipped; the rest is kept.
std::vector<Cookie> parseCookieFile(std::string_view content);

// The file for cookies in this order; parseCookieFile gives them back unchanged.
std::string formatCookieFile(const std::vector<Cookie>& cookies);

}  // namespace qelvora
