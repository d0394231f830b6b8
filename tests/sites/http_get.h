// Talks to a running qelvora-sites over loopback, sending targets exactly as written.
#pragma once

#include <httplib.h>

#include <string>

namespace qelvora::testing {

struct Page {
  int status = 0;  // 0: no answer at all
  std::string body;
  httplib::Headers headers;
};

// GET of a target exactly as written (no re-encoding), optionally with a Host header of our own.
inline Page fetch(int port, const std::string& target, const std::string& host = {}) {
  httplib::Client client("127.0.0.1", port);
  client.set_url_encode(false);
  httplib::Headers headers;
  if (!host.empty()) headers.emplace("Host", host);
  auto res = client.Get(target, headers);
  if (!res) return {};
  return {res->status, res->body, res->headers};
}

}  // namespace qelvora::testing
