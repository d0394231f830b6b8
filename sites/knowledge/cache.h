// Where the index lives: built on this machine from what is installed, into a cache folder, never
// shipped. A manifest of the data files (path, size, time) says whether the index is current; a
// build writes a new folder beside the old one and swaps it in, under a lock, so that two servers
// starting at once never write the same files and a reader never sees half an index.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sites/knowledge/document.h"
#include "sites/knowledge/index.h"

namespace qelvora::sites::knowledge {

// One kind of installed data: the files and folders it reads, and its reader.
struct DataSource {
  std::string name;
  std::vector<std::filesystem::path> files;  // a folder stands for every file below it
  std::function<std::vector<Document>(Skipped&)> read;
};

// "path size mtime" of every file the sources read, one line each, sorted, after a line naming
// the index format: equal manifests mean an index built from the same data.
std::string manifestOf(const std::vector<DataSource>& sources);

// $CACHE_DIRECTORY (the service's), else $XDG_CACHE_HOME/qelvora, else ~/.cache/qelvora.
std::filesystem::path defaultCacheDir();

class IndexCache {
 public:
  explicit IndexCache(std::filesystem::path dir) : dir_(std::move(dir)) {}

  // The cached index when it was built from exactly these sources' files; nullptr otherwise (none
  // yet, other data, another format, or damaged).
  std::shared_ptr<const Index> openCurrent(const std::vector<DataSource>& sources) const {
    return openCurrent(manifestOf(sources));
  }
  // The same for a manifest the caller has made already.
  std::shared_ptr<const Index> openCurrent(const std::string& manifest) const;

  // Reads every source and writes the index, then opens it. Waits for another process building
  // the same cache and uses its index when that one is current. progress receives one line per
  // source (documents, seconds) and one per skipped file. Throws IndexError when the cache
  // cannot be written.
  std::shared_ptr<const Index> build(const std::vector<DataSource>& sources,
                                     const std::function<void(const std::string&)>& progress) const;

  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

}  // namespace qelvora::sites::knowledge
