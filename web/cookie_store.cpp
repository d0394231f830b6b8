// The process-wide cookie store: a curl share handle holding the cookies of every request, loaded
// from and persisted to a Netscape cookie file so that cookies outlive the run.
//
// Several processes may share the file. Each keeps a list of the store's cookies in creation order
// and notes what it changed itself; a save takes a lock beside the file, reads what is there now,
// applies only this process's changes on top and replaces the file atomically.
#include "web/cookie_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "base/text.h"
#include "web/cookie_file.h"
#include "web/curl_handles.h"
#include "web/http_cookies.h"

namespace qelvora {
namespace {

// A cookie file larger than this is read only this far (a whole store is far smaller).
constexpr std::size_t kMaxFileBytes = 64u << 20;
// How long a save waits for a peer that holds the file's lock: as long as a person would wait,
// so that a slow peer costs no cookie. A request thread holds up its page while it saves, so it
// waits only kPageLockWait and leaves the rest of the wait to the saver thread.
constexpr std::chrono::seconds kLockWait{30};
constexpr std::chrono::seconds kPageLockWait{1};

bool sameNoCase(std::string_view a, std::string_view b) {
  return compareText(a, b, false) == 0;
}

std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void*) {
  shareLocks[static_cast<std::size_t>(data)].lock();
}
void unlockShare(CURL*, curl_lock_data data, void*) {
  shareLocks[static_cast<std::size_t>(data)].unlock();
}

// Guards everything below and keeps loads and rewrites of the file in order.
std::mutex storeMutex;
std::string filePath;  // empty until chosen
bool pathChosen = false;
CURLSH* loadedShare = nullptr;  // set once the store exists and has read its file

// The store's cookies in creation order, as of the last look at curl's list.
std::vector<Cookie> known;
// This process's own changes since the file was last read or written, by cookieKey.
std::unordered_map<std::string, Cookie> changed;
std::unordered_set<std::string> removed;
// Paths already named on standard error, so that each is named once.
std::unordered_set<std::string> toldPaths;

// One line on standard error naming a file the store leaves alone, once per file.
void tellOnce(const std::string& path, const std::string& line) {
  if (!toldPaths.insert(path).second) return;
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line.c_str());
}

std::string defaultCookieFilePath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string dir;
  if (xdg && xdg[0] == '/') {
    dir = xdg;
  } else {
    const char* home = std::getenv("HOME");
    dir = std::string(home && home[0] ? home : ".") + "/.local/share";
  }
  return dir + "/qelvora/cookies.txt";
}

const std::string& currentPathLocked() {
  if (!pathChosen) {
    filePath = defaultCookieFilePath();
    pathChosen = true;
  }
  return filePath;
}

// A handle that only talks to the store (adding, listing, clearing cookies).
struct StoreHandle {
  EasyHandle owner{curl_easy_init()};
  CURL* handle = owner.get();
  explicit StoreHandle(CURLSH* share) {
    if (handle) {
      curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
      curl_easy_setopt(handle, CURLOPT_SHARE, share);
    }
  }
};

// The cookies curl holds, as its own lines; the empty list when it cannot say.
HeaderList cookieList(StoreHandle& store) {
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(store.handle, CURLINFO_COOKIELIST, &list) != CURLE_OK) return {};
  return HeaderList(list);
}

bool expired(const Cookie& c, std::int64_t now) {
  return c.expires != 0 && c.expires < now;
}

std::int64_t nowSeconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// Only lines of our own making reach curl: never a keyword or a header line.
void addToCurl(StoreHandle& store, const Cookie& c) {
  curl_easy_setopt(store.handle, CURLOPT_COOKIELIST, formatCookieLine(c).c_str());
}

// curl drops a cookie that is replaced by an expired one of the same slot.
void dropFromCurl(StoreHandle& store, Cookie c) {
  c.expires = 1;
  addToCurl(store, c);
}

// The live cookies curl holds, in its own order. Cookies the file could not hold (curl takes a
// Path of any length, say) are dropped from curl here, so that the store's bounds, which count
// only what the file can hold, hold for everything in memory.
std::vector<Cookie> curlCookies(StoreHandle& store) {
  std::vector<Cookie> cookies;
  const HeaderList list = cookieList(store);
  std::int64_t now = nowSeconds();
  for (curl_slist* item = list.get(); item; item = item->next) {
    auto cookie = parseCookieLine(item->data);
    if (cookie && !expired(*cookie, now)) {
      cookies.push_back(std::move(*cookie));
    } else if (!cookie) {
      // curl's own line with its expiry field set to the past replaces the cookie and so drops it.
      std::string line = item->data;
      std::size_t at = 0;
      for (int tabs = 0; tabs < 4 && at != std::string::npos; ++tabs) at = line.find('\t', at + 1);
      const std::size_t end = at == std::string::npos ? at : line.find('\t', at + 1);
      if (end == std::string::npos) continue;
      line.replace(at + 1, end - at - 1, "1");
      curl_easy_setopt(store.handle, CURLOPT_COOKIELIST, line.c_str());
    }
  }
  return cookies;
}

// Opens path for reading without waiting (a FIFO would block until a writer came); only a
// regular file is kept open. -1 when there is none, -2 when it is something else (named once).
int openRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  close(fd);
  tellOnce(path, "the cookie file " + path +
                     " is not a regular file; it is neither read nor "
                     "replaced");
  return -2;
}

// The file's content, or empty when there is none; a huge file is cut at its last whole line.
std::string readCookieFile(const std::string& path) {
  std::string content;
  int fd = openRegularFile(path);
  if (fd < 0) return content;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.size() >= kMaxFileBytes) {
      content.resize(content.rfind('\n', kMaxFileBytes) + 1);
      break;
    }
  }
  close(fd);
  return content;
}

void loadFileLocked(CURLSH* share, const std::string& path) {
  known.clear();
  changed.clear();
  removed.clear();
  StoreHandle store(share);
  if (!store.handle) return;
  std::vector<Cookie> cookies = parseCookieFile(readCookieFile(path));
  std::int64_t now = nowSeconds();
  for (const Cookie& c : cookies)
    if (!expired(c, now)) addToCurl(store, c);
  // What curl took in, in the file's order.
  std::unordered_set<std::string> taken;
  for (const Cookie& c : curlCookies(store)) taken.insert(cookieKey(c));
  for (Cookie& c : cookies)
    if (taken.count(cookieKey(c))) known.push_back(std::move(c));
}

// Brings the list up to date with curl's store, noting what changed, and holds the store to its
// bounds: the oldest cookies go first.
void catchUpLocked(CURLSH* share) {
  StoreHandle store(share);
  if (!store.handle) return;
  std::unordered_map<std::string, Cookie> current;
  std::vector<std::string> order;
  for (Cookie& c : curlCookies(store)) {
    std::string key = cookieKey(c);
    if (current.insert_or_assign(key, std::move(c)).second) order.push_back(std::move(key));
  }
  std::vector<Cookie> next;
  next.reserve(current.size());
  for (Cookie& c : known) {
    std::string key = cookieKey(c);
    auto it = current.find(key);
    if (it == current.end()) {
      changed.erase(key);
      removed.insert(key);
      continue;
    }
    if (!(it->second == c)) {
      changed.insert_or_assign(key, it->second);
      removed.erase(key);
    }
    // Replaced cookies keep their place: they keep the creation time of the one they replace.
    next.push_back(std::move(it->second));
    current.erase(it);
  }
  for (const std::string& key : order) {
    auto it = current.find(key);
    if (it == current.end()) continue;
    changed.insert_or_assign(key, it->second);
    removed.erase(key);
    next.push_back(std::move(it->second));
  }

  std::vector<Cookie> bounded = next;
  boundCookies(bounded);
  if (bounded.size() != next.size()) {
    std::unordered_set<std::string> kept;
    for (const Cookie& c : bounded) kept.insert(cookieKey(c));
    for (const Cookie& c : next) {
      std::string key = cookieKey(c);
      if (kept.count(key)) continue;
      dropFromCurl(store, c);
      // Not a removal of ours: in the file the same bounds decide again, over every process's
      // cookies.
      changed.erase(key);
    }
  }
  known = std::move(bounded);
}

// The file's current cookies with this process's changes applied on top, in creation order.
std::vector<Cookie> mergedLocked(std::string_view fileContent) {
  std::vector<Cookie> cookies = parseCookieFile(fileContent);
  std::unordered_map<std::string, std::size_t> index;
  std::vector<Cookie> merged;
  merged.reserve(cookies.size() + changed.size());
  for (Cookie& c : cookies) {
    std::string key = cookieKey(c);
    if (removed.count(key)) continue;
    index.emplace(std::move(key), merged.size());
    merged.push_back(std::move(c));
  }
  for (const Cookie& c : known) {
    std::string key = cookieKey(c);
    auto it = changed.find(key);
    if (it == changed.end()) continue;
    auto at = index.find(key);
    if (at != index.end()) {
      merged[at->second] = it->second;
    } else {
      index.emplace(std::move(key), merged.size());
      merged.push_back(it->second);
    }
  }
  std::int64_t now = nowSeconds();
  std::erase_if(merged, [now](const Cookie& c) { return expired(c, now); });
  boundCookies(merged);
  return merged;
}

bool makeDirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeDirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Held while a process reads, merges and replaces the file. A peer that holds it is waited for
// up to the given time; then the save is left to the next one, and the caller learns why. The
// lock is never a link (a link would make us create or lock some other file) and never anything
// but a regular file. Without a usable lock (a file system that has none) the save goes ahead
// unlocked rather than not at all.
class FileLock {
 public:
  FileLock(const std::string& path, std::chrono::steady_clock::duration wait)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                 0600)) {
    if (fd_ < 0) {
      if (errno == ELOOP) problem_ = "the lock " + path + " is a symbolic link";
      return;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      problem_ = "the lock " + path + " is not a regular file";
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      if (std::chrono::steady_clock::now() >= deadline) {
        problem_ = "another process kept the lock " + path + " busy";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Why the file must not be saved now; empty when the lock is held (or cannot be had at all).
  const std::string& problem() const { return problem_; }

 private:
  int fd_;
  std::string problem_;
};

// Temporary files of a save that was killed half-way. Called under the lock, when no other save
// can be writing one.
void removeStaleTemporaries(const std::string& dir, const std::string& base) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::string prefix = base + ".tmp.";
  while (dirent* entry = readdir(d)) {
    std::string_view name = entry->d_name;
    if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix)
      unlink((dir + "/" + std::string(name)).c_str());
  }
  closedir(d);
}

bool replaceFile(const std::string& path, const std::string& dir, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = writeAll(fd, content) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  int dirFd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

CURLSH* createShare() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURLSH* share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lockShare);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlockShare);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  std::lock_guard lock(storeMutex);
  loadFileLocked(share, currentPathLocked());
  loadedShare = share;
  return share;
}

std::string trimmed(std::string_view s) {
  auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

// now + seconds, held at the ends of the clock's range instead of overflowing.
std::int64_t expiryAfter(long long seconds) {
  if (seconds <= 0) return 1;  // already expired: removes the cookie
  std::int64_t now = nowSeconds();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  return seconds > kMax - now ? kMax : now + seconds;
}

}  // namespace

CURLSH* cookieShare() {
  static CURLSH* share = createShare();
  return share;
}

void useCookieStore(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(handle, CURLOPT_SHARE, cookieShare());
}

void storeCookie(std::string_view host, std::string_view setCookieValue) {
  // Stored for the host itself, so that the attributes are ours to read: the cookie goes to this
  // host only, whatever domain the line claims.
  auto eq = setCookieValue.find('=');
  if (eq == std::string_view::npos) return;
  Cookie c;
  c.domain = host;
  c.name = trimmed(setCookieValue.substr(0, eq));
  std::string_view rest = setCookieValue.substr(eq + 1);
  auto semi = rest.find(';');
  c.value = trimmed(rest.substr(0, semi));
  bool haveMaxAge = false;
  while (semi != std::string_view::npos) {
    rest = rest.substr(semi + 1);
    semi = rest.find(';');
    std::string_view attribute = rest.substr(0, semi);
    auto aeq = attribute.find('=');
    std::string key = trimmed(attribute.substr(0, aeq));
    std::string val =
        aeq == std::string_view::npos ? std::string() : trimmed(attribute.substr(aeq + 1));
    if (sameNoCase(key, "path") && !val.empty() && val[0] == '/') {
      c.path = val;
    } else if (sameNoCase(key, "secure")) {
      c.secure = true;
    } else if (sameNoCase(key, "httponly")) {
      c.httpOnly = true;
    } else if (sameNoCase(key, "max-age") && !val.empty()) {
      char* end = nullptr;
      errno = 0;
      long long seconds = std::strtoll(val.c_str(), &end, 10);  // saturates when out of range
      if (end && *end == '\0') {
        haveMaxAge = true;
        c.expires = expiryAfter(seconds);
      }
    } else if (sameNoCase(key, "expires") && !haveMaxAge && !val.empty()) {
      time_t when = curl_getdate(val.c_str(), nullptr);
      if (when > 0)
        c.expires = when;
      else if (when == 0)
        c.expires = 1;
    }
  }
  // Only what the cookie file can hold faithfully is stored.
  auto checked = parseCookieLine(formatCookieLine(c));
  if (!checked) return;
  StoreHandle store(cookieShare());
  if (store.handle) addToCurl(store, *checked);
}

// Writes this process's changes to the file, waiting up to wait for its lock; empty when they
// are in the file, otherwise why not (they stay noted for the next save). The lock is waited for
// without the store's mutex, so that requests go on meanwhile.
std::string save(std::chrono::steady_clock::duration wait) {
  std::string path;
  {
    std::lock_guard lock(storeMutex);
    if (changed.empty() && removed.empty()) return {};
    path = currentPathLocked();
  }
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (slash != std::string::npos && !makeDirs(dir)) return "cannot make the folder " + dir;
  FileLock fileLock(path + ".lock", wait);
  if (!fileLock.problem().empty()) return fileLock.problem();
  std::lock_guard lock(storeMutex);
  // Saved meanwhile, or another file chosen (whose store starts afresh).
  if ((changed.empty() && removed.empty()) || path != currentPathLocked()) return {};
  // Something other than a file (a FIFO, a device, a folder) is left as it is.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    openRegularFile(path);  // names it, once
    return "the cookie file " + path + " is not a regular file";
  }
  removeStaleTemporaries(dir.empty() ? "/" : dir, base);
  std::vector<Cookie> merged = mergedLocked(readCookieFile(path));
  if (!replaceFile(path, dir, formatCookieFile(merged)))
    return "cannot write " + path + ": " + std::strerror(errno);
  changed.clear();
  removed.clear();
  return {};
}

// A thread that finishes saves the request threads gave up on, waiting up to kLockWait for the
// lock. Never freed: it may be waiting when the process ends.
struct Saver {
  std::mutex mutex;
  std::condition_variable wake, idle;
  bool wanted = false, saving = false;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return wanted; });
      wanted = false;
      saving = true;
      lock.unlock();
      save(kLockWait);
      lock.lock();
      saving = false;
      idle.notify_all();
    }
  }
};

Saver& saver() {
  static Saver* s = [] {
    auto* created = new Saver;
    std::thread([created] { created->run(); }).detach();
    return created;
  }();
  return *s;
}

void saveLater() {
  Saver& s = saver();
  {
    std::lock_guard lock(s.mutex);
    s.wanted = true;
  }
  s.wake.notify_one();
}

void persistCookies() {
  CURLSH* share = cookieShare();
  {
    std::lock_guard lock(storeMutex);
    catchUpLocked(share);
  }
  if (!save(kPageLockWait).empty()) saveLater();
}

void setCookieFilePath(std::string path) {
  std::lock_guard lock(storeMutex);
  filePath = std::move(path);
  pathChosen = true;
  if (!loadedShare) return;  // the store reads the file when it is first used
  // Switching files later: the store then mirrors the new file only.
  {
    StoreHandle store(loadedShare);
    if (store.handle) curl_easy_setopt(store.handle, CURLOPT_COOKIELIST, "ALL");
  }
  loadFileLocked(loadedShare, filePath);
}

std::string cookieFilePath() {
  std::lock_guard lock(storeMutex);
  return currentPathLocked();
}

std::string saveCookiesNow() {
  {
    std::lock_guard lock(storeMutex);
    if (!loadedShare) return {};  // no request was made: nothing to save
    catchUpLocked(loadedShare);
  }
  // One wait of kLockWait in all: first for a save the saver thread is waiting on, then for this
  // one.
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  {
    Saver& s = saver();
    std::unique_lock lock(s.mutex);
    s.idle.wait_until(lock, deadline, [&] { return !s.wanted && !s.saving; });
  }
  const std::string why =
      save(std::max(deadline - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0)));
  return why.empty() ? std::string() : "cookies not saved: " + why;
}

}  // namespace qelvora
