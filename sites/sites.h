// The time service and the three sites: every route, from a request's bytes to the reply's.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sites/corpus.h"
#include "sites/images.h"
#include "sites/knowledge/index.h"
#include "sites/knowledge/terms.h"
#include "sites/request.h"

namespace qelvora::sites {

class Sites {
 public:
  // Draws the pictures and packs the downloads once, up front, and indexes the corpus; throws
  // std::runtime_error if libgd fails.
  explicit Sites(Corpus corpus, knowledge::Synonyms synonyms = {});

  // From now on the sites answer from this index of the installed knowledge too, beside the
  // corpus. Any thread may call it while requests are served.
  void setKnowledge(const knowledge::Index& installed);

  // The reply to one request: 400 for a malformed target or question, 404 for an unknown path or
  // key, 500 (and a line on stderr) when building the page fails. GET and HEAD are served; any
  // other method gets an empty 404. Safe to call from several threads at once.
  Reply respond(const Request& request) const;

  const Corpus& corpus() const { return corpus_; }

 private:
  Reply route(const Request& request, const Target& target) const;
  std::vector<knowledge::Document> search(knowledge::Site site, std::string_view question) const;
  std::optional<knowledge::Document> find(knowledge::Site site, std::string_view key) const;

  Corpus corpus_;
  knowledge::Synonyms synonyms_;
  std::shared_ptr<const knowledge::Index> corpusIndex_;
  std::shared_ptr<const knowledge::Index> index_;  // corpus and knowledge; read and set atomically
  std::map<std::string, Picture> shots_;
  std::map<std::string, Picture> icons_;
  std::map<std::string, std::string> archives_;
};

}  // namespace qelvora::sites
