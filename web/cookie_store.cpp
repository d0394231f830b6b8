// The process-wide cookie store: a curl share handle holding the cookies of every request, loaded
// from and persisted to a Netscape cookie file so that cookies outlive the run.
#include "web/cookie_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>

#include "base/text.h"
#include "web/http_cookies.h"

namespace qelvora {
namespace {

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

// Guards the file path and keeps loads and rewrites of the file in order.
std::mutex fileMutex;
std::string filePath;  // empty until chosen
bool pathChosen = false;
CURLSH* loadedShare = nullptr;  // set once the store exists and has read its file

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
  CURL* handle = curl_easy_init();
  explicit StoreHandle(CURLSH* share) {
    if (handle) {
      curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
      curl_easy_setopt(handle, CURLOPT_SHARE, share);
    }
  }
  ~StoreHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;
};

void loadFileLocked(CURLSH* share, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  StoreHandle store(share);
  if (!store.handle) return;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '#' && line.rfind("#HttpOnly_", 0) != 0) continue;
    curl_easy_setopt(store.handle, CURLOPT_COOKIELIST, line.c_str());
  }
}

CURLSH* createShare() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURLSH* share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lockShare);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlockShare);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  std::lock_guard lock(fileMutex);
  loadFileLocked(share, currentPathLocked());
  loadedShare = share;
  return share;
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

std::string trimmed(std::string_view s) {
  auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

bool cleanField(const std::string& s) {
  for (char c : s)
    if (c == '\t' || c == '\r' || c == '\n' || c == '\0') return false;
  return true;
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
  // Stored for the host itself, as a Netscape line, so that the attributes are ours to read: the
  // cookie goes to this host only, whatever domain the line claims.
  auto eq = setCookieValue.find('=');
  if (eq == std::string_view::npos) return;
  std::string name = trimmed(setCookieValue.substr(0, eq));
  std::string_view rest = setCookieValue.substr(eq + 1);
  auto semi = rest.find(';');
  std::string value = trimmed(rest.substr(0, semi));
  std::string path = "/";
  bool secure = false, httpOnly = false;
  long long expiry = 0;  // session cookie
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
      path = val;
    } else if (sameNoCase(key, "secure")) {
      secure = true;
    } else if (sameNoCase(key, "httponly")) {
      httpOnly = true;
    } else if (sameNoCase(key, "max-age") && !val.empty()) {
      char* end = nullptr;
      long long seconds = std::strtoll(val.c_str(), &end, 10);
      if (end && *end == '\0') {
        haveMaxAge = true;
        expiry = seconds <= 0 ? 1 : static_cast<long long>(std::time(nullptr)) + seconds;
      }
    } else if (sameNoCase(key, "expires") && !haveMaxAge && !val.empty()) {
      time_t when = curl_getdate(val.c_str(), nullptr);
      if (when > 0)
        expiry = when;
      else if (when == 0)
        expiry = 1;
    }
  }
  std::string domain(host);
  if (name.empty() || domain.empty() || !cleanField(name) || !cleanField(value) ||
      !cleanField(path) || !cleanField(domain))
    return;
  std::string line = (httpOnly ? "#HttpOnly_" : "") + domain + "\tFALSE\t" + path + "\t" +
                     (secure ? "TRUE" : "FALSE") + "\t" + std::to_string(expiry) + "\t" + name +
                     "\t" + value;
  StoreHandle store(cookieShare());
  if (store.handle) curl_easy_setopt(store.handle, CURLOPT_COOKIELIST, line.c_str());
}

std::vector<std::string> storedCookieLines() {
  std::vector<std::string> lines;
  StoreHandle store(cookieShare());
  if (!store.handle) return lines;
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(store.handle, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
    for (curl_slist* item = list; item; item = item->next) lines.emplace_back(item->data);
    curl_slist_free_all(list);
  }
  return lines;
}

void persistCookies() {
  CURLSH* share = cookieShare();
  std::lock_guard lock(fileMutex);
  // Listed under the file lock so that the last rewrite always holds the latest store.
  StoreHandle store(share);
  if (!store.handle) return;
  std::string content = "# Netscape HTTP Cookie File\n";
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(store.handle, CURLINFO_COOKIELIST, &list) != CURLE_OK) return;
  for (curl_slist* item = list; item; item = item->next) {
    content += item->data;
    content += '\n';
  }
  curl_slist_free_all(list);

  const std::string& path = currentPathLocked();
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  if (slash != std::string::npos && !makeDirs(dir)) return;
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  bool ok = writeAll(fd, content) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return;
  }
  int dirFd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
}

void setCookieFilePath(std::string path) {
  std::lock_guard lock(fileMutex);
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
  std::lock_guard lock(fileMutex);
  return currentPathLocked();
}

}  // namespace qelvora
