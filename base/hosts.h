// Hosts ("host" or "host:port") of the time service and the three answer sites. The defaults are
// build settings (CMake cache variables QELVORA_*_HOST); the terminal tool can replace them.
#pragma once

#include <string>
#include <string_view>

namespace qelvora {

struct Hosts {
  std::string time;
  std::string source1;
  std::string source2;
  std::string source3;
};

// The hosts in force for this process; changed only at start-up, before any question is asked.
Hosts& hosts();

// "host" or "host:port", the host a name, an IPv4 address or an IPv6 address in brackets
// ("[::1]:8750"); nothing a URL would read as more. What --time-host and the like accept.
bool isHost(std::string_view h);

}  // namespace qelvora
