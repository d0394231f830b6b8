#include "base/hosts.h"

namespace qelvora {

Hosts& hosts() {
  static Hosts current{QELVORA_TIME_HOST, QELVORA_SOURCE1_HOST, QELVORA_SOURCE2_HOST,
                       QELVORA_SOURCE3_HOST};
  return current;
}

bool isHost(std::string_view h) {
  if (h.empty()) return false;
  for (unsigned char c : h)
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\')
      return false;
  std::string_view port;
  if (h.front() == '[') {
    const std::size_t close = h.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view address = h.substr(1, close - 1);
    if (address.find(':') == std::string_view::npos ||
        address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
      return false;
    const std::string_view rest = h.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    port = rest.substr(1);
  } else {
    if (h.find_first_of("[]") != std::string_view::npos) return false;
    const std::size_t colon = h.find(':');
    if (colon == std::string_view::npos) return true;
    if (colon == 0 || h.find(':', colon + 1) != std::string_view::npos)
      return false;  // bare IPv6 needs brackets
    port = h.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5) return false;
  long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace qelvora
