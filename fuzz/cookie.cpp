// The cookie file. Any bytes at all: every cookie read keeps to the format (no control byte, no
// line that libcurl would take for a command or a comment), is the last well-formed line of its
// slot, saving and reading again gives the same cookies, and the bounds drop only the oldest.
// Cookies put together here: each line reads back as its cookie unless the cookie is too big or
// breaks the promise of its name's prefix, a file of them reads back as they were, and a store of
// thousands keeps its newest 3,000.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "fuzz/check.h"
#include "web/cookie_file.h"

using namespace qelvora;
using fuzz::asciiLower;
using fuzz::expect;
using fuzz::expectNumber;
using fuzz::expectText;

namespace {

bool hasControl(std::string_view s, bool tabAllowed = false) {
  for (unsigned char c : s)
    if ((c < 0x20 && !(tabAllowed && c == '\t')) || c == 0x7F) return true;
  return false;
}

std::string describe(const Cookie& c) {
  return fuzz::describe(formatCookieLine(c));
}

void checkCookie(const Cookie& c) {
  for (const std::string* field : {&c.domain, &c.path, &c.name, &c.value})
    if (hasControl(*field)) fuzz::fail("a cookie holds a control byte:", describe(c));
  expect(!c.domain.empty() && c.domain.front() != '.', "domain empty or with a leading dot");
  expectText("domain is lower-case", c.domain, asciiLower(c.domain));
  expect(c.path.starts_with('/'), "path does not start with /");
  expect(!c.name.empty(), "empty name");
  expect(c.name.size() + c.value.size() <= kMaxCookieBytes, "cookie over the byte bound");
  expect(c.expires >= 0, "negative expiry");

  const std::string line = formatCookieLine(c);
  expect(!hasControl(line, true), "line holds a control byte");
  std::string_view body = line;
  if (body.starts_with("#HttpOnly_")) body.remove_prefix(10);
  expect(!body.starts_with('#'), "line reads as a comment");
  const std::string folded = asciiLower(line);
  for (const char* keyword : {"all", "sess", "flush", "reload"})
    expect(folded != keyword, "line is a cookie-list command");
  expect(!folded.starts_with("set-cookie:"), "line reads as a header");
  const auto again = parseCookieLine(line);
  if (!again || !(*again == c)) fuzz::fail("formatted line does not read back:", describe(c));
}

// after must be before with some cookies dropped, as the bounds require and no more: a cookie
// goes only when it is too big, or when 50 newer ones of its host or 3,000 newer ones in all stay.
void checkBounded(const std::vector<Cookie>& before, const std::vector<Cookie>& after) {
  std::unordered_map<std::string_view, std::size_t> newerOfHost;  // domains are lower-case
  std::size_t newer = 0, j = after.size();
  for (std::size_t i = before.size(); i-- > 0;) {
    const Cookie& c = before[i];
    std::size_t& ofHost = newerOfHost[c.domain];
    const bool tooBig = c.name.size() + c.value.size() > kMaxCookieBytes;
    if (j > 0 && after[j - 1] == c) {
      if (tooBig) fuzz::fail("kept a cookie over the byte bound:", describe(c));
      --j;
      ++ofHost;
      ++newer;
      continue;
    }
    if (!tooBig && ofHost < kMaxCookiesPerHost && newer < kMaxCookies)
      fuzz::fail("dropped a cookie within the bounds:", describe(c));
  }
  expectNumber("kept cookies that are not in the list, in order", static_cast<long long>(j), 0);
  for (const auto& [host, count] : newerOfHost)
    expect(count <= kMaxCookiesPerHost, "more cookies for one host than the bound");
  expect(newer <= kMaxCookies, "more cookies than the bound");
}

// The well-formed lines of a file, one per slot, in the place of the slot's first line and with
// its last line's cookie.
std::vector<Cookie> slots(std::string_view content) {
  std::vector<Cookie> cookies;
  std::map<std::string, std::size_t> at;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    start = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    auto cookie = parseCookieLine(line);
    if (!cookie) continue;
    auto [it, added] = at.emplace(cookieKey(*cookie), cookies.size());
    if (added)
      cookies.push_back(*cookie);
    else
      cookies[it->second] = *cookie;
  }
  return cookies;
}

void checkFile(std::string_view content) {
  const std::vector<Cookie> cookies = parseCookieFile(content);
  std::set<std::string> keys;
  for (const Cookie& c : cookies) {
    checkCookie(c);
    expect(keys.insert(cookieKey(c)).second, "two cookies of the same slot");
  }
  checkBounded(slots(content), cookies);

  const std::string saved = formatCookieFile(cookies);
  const std::vector<Cookie> again = parseCookieFile(saved);
  expectNumber("cookies after save and load", static_cast<long long>(again.size()),
               static_cast<long long>(cookies.size()));
  for (std::size_t i = 0; i < cookies.size(); ++i)
    if (!(again[i] == cookies[i]))
      fuzz::fail("save and load changed", describe(cookies[i]) + " into " + describe(again[i]));
  expectText("second save", formatCookieFile(again), saved);
}

// Text from an alphabet that the field allows.
std::string textOf(FuzzedDataProvider& in, std::string_view alphabet, std::size_t min,
                   std::size_t max) {
  std::string text;
  const std::size_t length = in.ConsumeIntegralInRange(min, max);
  while (text.size() < length)
    text += alphabet[in.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)];
  return text;
}

bool keepsPrefixPromise(const Cookie& c) {
  const std::string name = asciiLower(c.name);
  if (name.starts_with("__secure-")) return c.secure;
  if (name.starts_with("__host-")) return c.secure && !c.includeSubdomains && c.path == "/";
  return true;
}

void checkComposed(FuzzedDataProvider& in) {
  std::vector<std::string> domains(in.ConsumeIntegralInRange<std::size_t>(1, 4));
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 60);
  for (std::size_t i = 0; i < domains.size(); ++i)
    domains[i] = "d" + std::to_string(i) + textOf(in, "abcxyz019-_.", 0, 6);
  const bool numbered = in.ConsumeBool();
  // At most one cookie about the byte bound (they are costly to copy).
  const std::size_t big = in.ConsumeIntegralInRange<std::size_t>(0, 2 * count);

  std::vector<Cookie> cookies;
  std::string file;
  for (std::size_t i = 0; i < count; ++i) {
    Cookie c;
    // Round the hosts when the input runs out, so that a short input still fills one host.
    c.domain = domains[(i + in.ConsumeIntegral<std::uint8_t>()) % domains.size()];
    c.includeSubdomains = in.ConsumeBool();
    c.path = "/" + textOf(in, "ab/ %\xC4\xE3~", 0, 6);
    c.secure = in.ConsumeBool();
    c.httpOnly = in.ConsumeBool();
    c.expires = in.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);
    c.name = textOf(in, "_-aAsSeEcHhoOtTuUrR #\x80\xFF", 1, 10);
    if (numbered) c.name += std::to_string(i);
    c.value = textOf(in, "v=\" ,#\xE4\xBD\xA0", 0, 12);
    if (i == big) c.value += std::string(in.ConsumeIntegralInRange<std::size_t>(4070, 4100), 'x');
    cookies.push_back(c);

    const std::string line = formatCookieLine(c);
    const bool acceptable =
        c.name.size() + c.value.size() <= kMaxCookieBytes && keepsPrefixPromise(c);
    const auto read = parseCookieLine(line);
    if (read.has_value() != acceptable)
      fuzz::fail(acceptable ? "refused the line" : "accepted the line", fuzz::describe(line));
    if (read && !(*read == c)) fuzz::fail("the line read back as", describe(*read));
    file += line;
    file += in.ConsumeBool() ? "\r\n" : "\n";
  }

  std::vector<Cookie> bounded = cookies;
  boundCookies(bounded);
  checkBounded(cookies, bounded);
  checkFile(file);
}

// A store over the bound in all: thousands of small cookies of 61 hosts or more (so that the bound
// in all comes before the bound per host), taken in a rhythm that the input sets, one in a
// thousand over the byte bound if it says so. Only a few numbers come from the input, so that the
// fuzzer keeps few of these costly inputs.
void checkCrowded(FuzzedDataProvider& in) {
  const std::size_t hosts = in.ConsumeIntegralInRange<std::size_t>(61, 80);
  const std::size_t stride = in.ConsumeIntegralInRange<std::size_t>(1, 7);
  const bool big = in.ConsumeBool();
  std::vector<Cookie> cookies(in.ConsumeIntegralInRange<std::size_t>(2990, 3300));
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    Cookie& c = cookies[i];
    c.domain = "h" + std::to_string(i * stride % hosts);
    c.name = "n" + std::to_string(i);
    if (big && i % 1000 == 999) c.value.assign(kMaxCookieBytes - c.name.size() + 1, 'x');
  }
  std::vector<Cookie> bounded = cookies;
  boundCookies(bounded);
  checkBounded(cookies, bounded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte chooses: 1 puts cookies together, 2 crowds a store, anything else is a file's
  // bytes, so that a seed is a cookie file as it stands.
  FuzzedDataProvider in(data + (size > 0), size - (size > 0));
  if (size > 0 && data[0] == 1)
    checkComposed(in);
  else if (size > 0 && data[0] == 2)
    checkCrowded(in);
  else
    checkFile(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
