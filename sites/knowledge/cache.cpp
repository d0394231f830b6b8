#include "sites/knowledge/cache.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sites/knowledge/data_file.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

// Changes whenever what the readers make or how it is indexed changes.
constexpr char kManifestHead[] = "qelvora-sites index 2\n";
constexpr char kManifestFile[] = "manifest";

void listFile(const fs::path& path, std::vector<std::string>& lines) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
      listFile(it->path(), lines);
    return;
  }
  lines.push_back(path.string() + " " + std::to_string(st.st_size) + " " +
                  std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
}

std::string readSmallFile(const fs::path& path) {
  Skipped ignored;
  return readDataFile(path, ignored, 64 << 20).value_or("");
}

// Holds an exclusive lock on the cache's lock file for as long as it lives. The file is opened
// without following a link, so a planted link cannot make us create or lock another file.
class CacheLock {
 public:
  explicit CacheLock(const fs::path& file) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd_ < 0) throw IndexError("cannot open the lock " + file.string());
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd_);
      throw IndexError(file.string() + " is not a regular file");
    }
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) {
        ::close(fd_);
        throw IndexError("cannot lock " + file.string());
      }
  }
  ~CacheLock() { ::close(fd_); }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

std::string manifestOf(const std::vector<DataSource>& sources) {
  std::vector<std::string> lines;
  for (const DataSource& s : sources)
    for (const fs::path& f : s.files) listFile(f, lines);
  std::sort(lines.begin(), lines.end());
  std::string out = kManifestHead;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

fs::path defaultCacheDir() {
  if (const char* service = std::getenv("CACHE_DIRECTORY"); service && *service) {
    // systemd may list several folders, separated by ':'; ours is the first.
    const std::string first = std::string(service).substr(0, std::string(service).find(':'));
    return first;
  }
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
    return fs::path(xdg) / "qelvora";
  if (const char* home = std::getenv("HOME"); home && *home == '/')
    return fs::path(home) / ".cache" / "qelvora";
  return {};
}

std::shared_ptr<const Index> IndexCache::openCurrent(const std::string& manifest) const {
  const fs::path current = dir_ / "index";
  if (readSmallFile(current / kManifestFile) != manifest) return nullptr;
  try {
    return Index::open(current);
  } catch (const IndexError&) {
    return nullptr;  // damaged: rebuilt, never trusted
  }
}

std::shared_ptr<const Index> IndexCache::build(
    const std::vector<DataSource>& sources,
    const std::function<void(const std::string&)>& progress) const {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) throw IndexError("cannot make the cache folder " + dir_.string() + ": " + ec.message());
  CacheLock lock(dir_ / "index.lock");
  // Another server may have built it while we waited.
  const std::string manifest = manifestOf(sources);
  if (auto index = openCurrent(manifest)) return index;

  // What a build that was stopped halfway left behind; nobody else builds while we hold the lock.
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().starts_with("index.new-")) fs::remove_all(it->path(), ec);

  std::vector<Document> documents;
  for (const DataSource& s : sources) {
    const auto begin = std::chrono::steady_clock::now();
    Skipped skipped;
    std::vector<Document> read = s.read(skipped);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (const std::string& line : skipped) progress(s.name + ": skipped " + line);
    std::ostringstream line;
    line.precision(2);
    line << std::fixed << s.name << ": " << read.size() << " documents in " << seconds << " s";
    progress(line.str());
    documents.insert(documents.end(), std::make_move_iterator(read.begin()),
                     std::make_move_iterator(read.end()));
  }

  const auto begin = std::chrono::steady_clock::now();
  const fs::path fresh = dir_ / ("index.new-" + std::to_string(::getpid()));
  const fs::path current = dir_ / "index";
  fs::remove_all(fresh, ec);
  Index::write(documents, fresh);
  {
    std::ofstream out(fresh / kManifestFile, std::ios::binary | std::ios::trunc);
    out << manifest;
    if (!out.flush()) throw IndexError("cannot write " + (fresh / kManifestFile).string());
  }
  // The new folder takes the old one's place in one step; the old one goes after.
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, current.c_str(), RENAME_EXCHANGE) == 0) {
    fs::remove_all(fresh, ec);
  } else if (::rename(fresh.c_str(), current.c_str()) != 0) {
    fs::remove_all(fresh, ec);
    throw IndexError("cannot put the index in place in " + dir_.string());
  }
  std::ostringstream line;
  line.precision(2);
  line << std::fixed << "index: " << documents.size() << " documents written in "
       << std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() << " s";
  progress(line.str());
  return Index::open(current);
}

}  // namespace qelvora::sites::knowledge
