// The routes of the time service and the three sites on one HTTP server.
#pragma once

#include <map>
#include <string>

#include "sites/corpus.h"
#include "sites/images.h"

namespace httplib {
class Server;
}

namespace qelvora::sites {

class Sites {
 public:
  // Draws the pictures and packs the downloads once, up front; throws std::runtime_error if libgd
  // fails.
  explicit Sites(Corpus corpus);

  // Registers every route, the 400 check of request targets and the exception guard. With log,
  // each request is written to stderr. The Sites object must outlive the server.
  void install(httplib::Server& server, bool log) const;

  const Corpus& corpus() const { return corpus_; }

 private:
  Corpus corpus_;
  std::map<std::string, Picture> shots_;
  std::map<std::string, Picture> icons_;
  std::map<std::string, std::string> archives_;
};

}  // namespace qelvora::sites
