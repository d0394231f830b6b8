// The reference sites' request decoding and routes, on the real corpus. The input reads
// "METHOD TARGET\nHOST". decodeTarget refuses a target exactly when a plain check says it is
// malformed, and what it accepts, written out again with every byte escaped, decodes the same; the
// log form of a target is printable ASCII that reads back as the target. The reply's status is 200,
// 400 or 404; its body is well-formed for its declared type and character set and holds no control
// byte and no markup from the request; its header values hold no line break.
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/charset.h"
#include "fuzz/check.h"
#include "sites/sites.h"

using namespace qelvora::sites;
using qelvora::fuzz::describe;
using qelvora::fuzz::expect;
using qelvora::fuzz::expectNumber;
using qelvora::fuzz::expectText;
using qelvora::fuzz::fail;

namespace {

const Sites* sites = nullptr;

bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool escapesDecode(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == '%' && (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2]))) return false;
  return true;
}

// A target as the server takes it: a path from "/", no control byte or space, and every escape of
// the path and of the query (up to a "#") two hex digits.
bool wellFormed(std::string_view target) {
  if (!target.starts_with('/')) return false;
  for (unsigned char c : target)
    if (c <= 0x20 || c == 0x7F) return false;
  const std::size_t q = target.find('?');
  std::string_view query = q == std::string_view::npos ? "" : target.substr(q + 1);
  query = query.substr(0, query.find('#'));
  return escapesDecode(target.substr(0, q)) && escapesDecode(query);
}

std::string escaped(std::string_view s, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void checkDecoding(std::string_view target) {
  const auto decoded = decodeTarget(target);
  if (decoded.has_value() != wellFormed(target))
    fail(decoded ? "accepted a malformed target" : "refused a sound target", describe(target));
  if (!decoded) return;
  std::string again = escaped(decoded->path, true);
  for (std::size_t i = 0; i < decoded->fields.size(); ++i)
    again += (i ? "&" : "?") + escaped(decoded->fields[i].first, false) + "=" +
             escaped(decoded->fields[i].second, false);
  const auto redecoded = decodeTarget(again);
  if (!redecoded) fail("refused its own escaping", describe(again));
  expectText("path after escaping", redecoded->path, decoded->path);
  expect(redecoded->fields == decoded->fields, "query fields changed by escaping");
}

void checkLogForm(std::string_view target) {
  const std::string logged = printableTarget(target);
  std::string back;
  for (std::size_t i = 0; i < logged.size(); ++i) {
    const auto c = static_cast<unsigned char>(logged[i]);
    expect(c > 0x20 && c < 0x7F, "log form with a byte outside printable ASCII");
    if (c == '\\') {
      expect(logged.compare(i, 2, "\\x") == 0 && i + 3 < logged.size() && isHex(logged[i + 2]) &&
                 isHex(logged[i + 3]),
             "a backslash in the log form that is not an escape");
      back += static_cast<char>(std::stoi(logged.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      back += static_cast<char>(c);
    }
  }
  expectText("log form read back", back, target);
}

// Page text: no control byte but TAB, LF and CR, and every "<" opens a tag, an end tag or a
// declaration, as the pages and the corpus write them, so that a "<" echoed from the request
// unescaped shows.
void checkMarkup(std::string_view what, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
      fail(what,
           "holds the control byte " + describe(text.substr(i, 1)) + " at " + std::to_string(i));
    if (c == '<' &&
        (i + 1 == text.size() || !(std::isalpha(static_cast<unsigned char>(text[i + 1])) ||
                                   text[i + 1] == '/' || text[i + 1] == '!')))
      fail(what, "holds a stray \"<\": " + describe(text.substr(i, 24)));
  }
}

void checkReply(const Request& request, bool decoded) {
  const Reply reply = sites->respond(request);
  const std::string& body = reply.content();
  if (request.method != "GET" && request.method != "HEAD") {
    expectNumber("status for another method", reply.status, 404);
    expect(reply.contentType.empty() && body.empty(), "a body for another method");
    return;
  }
  if (!decoded) expectNumber("status for a malformed target", reply.status, 400);
  if (reply.status != 200 && reply.status != 400 && reply.status != 404)
    fail("status", std::to_string(reply.status) + " for " + describe(request.target));
  for (const auto& [name, value] : reply.headers)
    for (const std::string* s : {&name, &value})
      for (unsigned char c : *s) expect(c >= 0x20 && c != 0x7F, "a header with a control byte");

  const std::string& type = reply.contentType;
  if (reply.status != 200) expectText("error page type", type, "text/html; charset=utf-8");
  expect(!body.empty(), "an empty body");
  if (type == "text/html; charset=utf-8" || type == "text/html; charset=gbk") {
    const bool gbk = type.ends_with("gbk");
    if (!qelvora::fuzz::converts(body, gbk ? "CP936" : "UTF-8"))
      fail("page not well-formed for its charset", describe(request.target));
    checkMarkup("page", body);
    return;
  }
  static const std::pair<std::string_view, std::string_view> kSignatures[] = {
      {"image/png", "\x89PNG\r\n\x1A\n"},
      {"image/jpeg", "\xFF\xD8\xFF"},
      {"application/zip", "PK\x03\x04"}};
  for (const auto& [known, signature] : kSignatures)
    if (type == known) {
      expect(body.starts_with(signature), "a body without its type's signature");
      return;
    }
  fail("unknown content type", describe(type));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const Sites s(loadCorpus(QELVORA_FUZZ_SITES_DATA));
  sites = &s;
  // The page checks hold only if the corpus itself keeps to them where it goes into pages as
  // markup.
  for (const QaEntry& e : s.corpus().fuzzy) checkMarkup("a fuzzy answer of the corpus", e.answer);
  for (const Program& p : s.corpus().software)
    checkMarkup("a description of the corpus", p.description);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t lf = input.find('\n');
  const std::string_view line = input.substr(0, lf);
  const std::string_view host = lf == std::string_view::npos ? "" : input.substr(lf + 1);
  const std::size_t space = line.find(' ');
  const std::string_view method = line.substr(0, space);
  const std::string_view target = space == std::string_view::npos ? "" : line.substr(space + 1);

  checkDecoding(target);
  checkLogForm(target);
  checkReply({method, target, host, "127.0.0.1:8750"}, wellFormed(target));
  return 0;
}
