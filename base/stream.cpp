#include "base/stream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace qelvora {

namespace {

struct Stream {
  std::mutex mutex;  // streams change hands between threads; this orders the hand-over
  std::string data;
  std::size_t position = 0;
};

// Sizes are reported as int, so a stream never grows past INT_MAX bytes.
constexpr std::size_t kMaxStreamSize = INT_MAX;

class StreamTable {
 public:
  int open() {
    std::lock_guard lock(mutex_);
    // Skip 0 and handles still in use when the counter wraps.
    do {
      next_ = next_ == INT_MAX ? 1 : next_ + 1;
    } while (streams_.count(next_) != 0);
    streams_.emplace(next_, std::make_shared<Stream>());
    return next_;
  }

  void close(int handle) {
    std::shared_ptr<Stream> keep;  // freed outside the table lock
    std::lock_guard lock(mutex_);
    auto it = streams_.find(handle);
    if (it == streams_.end()) return;
    keep = std::move(it->second);
    streams_.erase(it);
  }

  std::shared_ptr<Stream> find(int handle) {
    std::lock_guard lock(mutex_);
    auto it = streams_.find(handle);
    return it == streams_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::map<int, std::shared_ptr<Stream>> streams_;
  int next_ = 0;
};

StreamTable& table() {
  static StreamTable instance;
  return instance;
}

// Writes bytes at the position, overwriting and growing; false when the stream would grow too big.
bool put(Stream& s, std::string_view bytes) {
  if (s.position > kMaxStreamSize || bytes.size() > kMaxStreamSize - s.position) return false;
  const std::size_t end = s.position + bytes.size();
  if (end > s.data.size()) {
    if (end > s.data.capacity()) s.data.reserve(std::max(end, s.data.capacity() * 2));
    s.data.resize(end);
  }
  if (!bytes.empty()) std::memcpy(s.data.data() + s.position, bytes.data(), bytes.size());
  s.position = end;
  return true;
}

bool putBlock(Stream& s, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto n = static_cast<std::uint32_t>(bytes.size());
  const char length[4] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                          static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
  return put(s, std::string_view(length, 4)) && put(s, bytes);
}

// Reads one block at *at; false when the data runs out.
bool takeBlock(const Stream& s, std::size_t& at, std::string& out) {
  if (at > s.data.size() || s.data.size() - at < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data.data() + at);
  const std::uint32_t n =
      p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  at += 4;
  if (s.data.size() - at < n) return false;
  out.assign(s.data, at, n);
  at += n;
  return true;
}

}  // namespace

int openMemoryStream() {
  return table().open();
}

void closeStream(int handle) {
  table().close(handle);
}

bool seekToStart(int handle) {
  auto s = table().find(handle);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  s->position = 0;
  return true;
}

int streamLength(int handle) {
  auto s = table().find(handle);
  if (!s) return -1;
  std::lock_guard lock(s->mutex);
  return static_cast<int>(s->data.size());
}

bool atEnd(int handle, bool stopAtEofMark) {
  auto s = table().find(handle);
  if (!s) return true;
  std::lock_guard lock(s->mutex);
  if (s->position >= s->data.size()) return true;
  const char next = s->data[s->position];
  return stopAtEofMark && (next == '\0' || next == '\x1A');
}

bool writeRecords(int handle, const std::vector<RecordValue>& values) {
  auto s = table().find(handle);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  const std::size_t start = s->position;
  bool ok = true;
  for (const auto& value : values) {
    if (const Text* text = std::get_if<Text>(&value)) {
      // A text ends at its first NUL; writing past it could not be read back as one record.
      const std::string_view t = std::string_view(*text).substr(0, text->find('\0'));
      ok = put(*s, t) && put(*s, std::string_view("\0", 1));
    } else if (const Bytes* bytes = std::get_if<Bytes>(&value)) {
      ok = putBlock(*s, bytes->view());
    } else {
      for (const Bytes& b : std::get<std::vector<Bytes>>(value)) {
        if (!(ok = putBlock(*s, b.view()))) break;
      }
    }
    if (!ok) break;
  }
  if (!ok) s->position = start;
  return ok;
}

bool readRecords(int handle, const std::vector<RecordTarget>& targets) {
  auto s = table().find(handle);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  // Everything is read into scratch values first so that a short stream leaves targets as they
  // were.
  std::size_t at = s->position;
  std::vector<std::string> scratch;
  for (const auto& target : targets) {
    if (std::holds_alternative<Text*>(target)) {
      if (at >= s->data.size()) return false;
      const std::size_t nul = s->data.find('\0', at);
      if (nul == std::string::npos) return false;
      scratch.emplace_back(s->data, at, nul - at);
      at = nul + 1;
    } else if (std::holds_alternative<Bytes*>(target)) {
      scratch.emplace_back();
      if (!takeBlock(*s, at, scratch.back())) return false;
    } else {
      const auto* list = std::get<std::vector<Bytes>*>(target);
      const std::size_t count = list ? list->size() : 0;
      for (std::size_t i = 0; i < count; ++i) {
        scratch.emplace_back();
        if (!takeBlock(*s, at, scratch.back())) return false;
      }
    }
  }
  std::size_t k = 0;
  for (const auto& target : targets) {
    if (Text* const* text = std::get_if<Text*>(&target)) {
      if (*text) **text = std::move(scratch[k]);
      ++k;
    } else if (Bytes* const* bytes = std::get_if<Bytes*>(&target)) {
      if (*bytes) (*bytes)->data = std::move(scratch[k]);
      ++k;
    } else if (auto* list = std::get<std::vector<Bytes>*>(target)) {
      for (Bytes& b : *list) b.data = std::move(scratch[k++]);
    }
  }
  s->position = at;
  return true;
}

bool writeRawText(int handle, const std::vector<std::string_view>& texts) {
  auto s = table().find(handle);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  const std::size_t start = s->position;
  for (auto t : texts) {
    if (!put(*s, t)) {
      s->position = start;
      return false;
    }
  }
  return true;
}

Text readLine(int handle) {
  auto s = table().find(handle);
  if (!s) return {};
  std::lock_guard lock(s->mutex);
  const std::string& d = s->data;
  if (s->position >= d.size()) return {};
  std::size_t end = s->position;
  while (end < d.size() && d[end] != '\n' && d[end] != '\0' && d[end] != '\x1A') ++end;
  std::size_t lineEnd = end;
  if (lineEnd > s->position && d[lineEnd - 1] == '\r') --lineEnd;
  Text line = d.substr(s->position, lineEnd - s->position);
  s->position = (end < d.size() && d[end] == '\n') ? end + 1 : end;
  return line;
}

bool deleteBytes(int handle, int n) {
  auto s = table().find(handle);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  if (n <= 0 || s->position >= s->data.size()) return true;
  const std::size_t count = std::min(static_cast<std::size_t>(n), s->data.size() - s->position);
  s->data.erase(s->position, count);
  return true;
}

}  // namespace qelvora
