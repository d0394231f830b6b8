// A request and its reply as plain bytes, apart from any socket, so that the routes can be driven
// (and fuzzed) without a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sites/strings.h"

namespace qelvora::sites {

struct Request {
  std::string_view method;        // "GET", "HEAD", ...
  std::string_view target;        // path and query exactly as received, still escaped
  std::string_view host;          // the Host header; empty when there is none
  std::string_view localAddress;  // this end of the connection: "127.0.0.1:8750", "[::1]:8750"
};

struct Reply {
  int status = 200;
  std::string contentType;  // empty for a reply without a body
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // A body that the Sites object keeps (pictures, archives); used instead of body when set.
  const std::string* sharedBody = nullptr;

  const std::string& content() const { return sharedBody ? *sharedBody : body; }
};

// The target split into its decoded path and its decoded query fields; nullopt when it is
// malformed: not starting with "/", holding a control byte or a space, or with an escape that
// does not decode. "+" is a space only in the query.
struct Target {
  std::string path;
  QueryFields fields;
};
std::optional<Target> decodeTarget(std::string_view target);

// The target with every byte outside printable ASCII written as \xNN, for a log line that no
// request can turn into terminal control sequences.
std::string printableTarget(std::string_view target);

}  // namespace qelvora::sites
