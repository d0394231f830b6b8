// The time service and the three sites: every route, from a request's bytes to the reply's.
#pragma once

#include <map>
#include <string>

#include "sites/corpus.h"
#include "sites/images.h"
#include "sites/request.h"

namespace qelvora::sites {

class Sites {
 public:
  // Draws the pictures and packs the downloads once, up front; throws std::runtime_error if libgd
  // fails.
  explicit Sites(Corpus corpus);

  // The reply to one request: 400 for a malformed target or question, 404 for an unknown path or
  // key, 500 (and a line on stderr) when building the page fails. GET and HEAD are served; any
  // other method gets an empty 404. Safe to call from several threads at once.
  Reply respond(const Request& request) const;

  const Corpus& corpus() const { return corpus_; }

 private:
  Reply route(const Request& request, const Target& target) const;

  Corpus corpus_;
  std::map<std::string, Picture> shots_;
  std::map<std::string, Picture> icons_;
  std::map<std::string, std::string> archives_;
};

}  // namespace qelvora::sites
