// The search index: one Xapian database per site, written from documents and searched with a
// question. Only this file and index.cpp know Xapian; the rest sees documents in, ranked documents
// out.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sites/knowledge/document.h"
#include "sites/knowledge/terms.h"

namespace qelvora::sites::knowledge {

// An index that cannot be opened: missing, corrupt or written by another version.
class IndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Index {
 public:
  ~Index();

  // Writes the documents into dir/fuzzy, dir/exact and dir/software (dir must not hold them yet),
  // compacted. Keys are made unique within a site. Throws IndexError.
  static void write(const std::vector<Document>& documents, const std::filesystem::path& dir);
  // Opens what write made; throws IndexError when anything is missing, corrupt or of another
  // format.
  static std::shared_ptr<const Index> open(const std::filesystem::path& dir);
  // The documents held in memory (the hand-written corpus).
  static std::shared_ptr<const Index> inMemory(const std::vector<Document>& documents);
  // Both searched as one; a key found in both is first's.
  static std::shared_ptr<const Index> combine(const Index& first, const Index& second);

  // The documents that answer the question well enough, best first; empty when even the best
  // one is a weak match. Safe to call from several threads.
  std::vector<Document> search(Site site, const Question& question, size_t limit) const;
  std::optional<Document> find(Site site, std::string_view key) const;
  size_t size(Site site) const;

  struct Databases;

 private:
  Index();
  std::unique_ptr<Databases> databases_;
};

}  // namespace qelvora::sites::knowledge
