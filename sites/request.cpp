#include "sites/request.h"

#include <cstdio>

namespace qelvora::sites {

std::optional<Target> decodeTarget(std::string_view target) {
  if (target.empty() || target[0] != '/') return std::nullopt;
  for (char c : target) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) return std::nullopt;
  }
  // A "+" in the path is itself; only the query uses it for a space.
  auto path = percentDecode(target.substr(0, target.find('?')), false);
  auto fields = parseQuery(target);
  if (!path || !fields) return std::nullopt;
  return Target{std::move(*path), std::move(*fields)};
}

std::string printableTarget(std::string_view target) {
  std::string out;
  out.reserve(target.size());
  for (char c : target) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x21 && b < 0x7F && b != '\\') {
      out.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
    }
  }
  return out;
}

}  // namespace qelvora::sites
