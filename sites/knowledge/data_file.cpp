#include "sites/knowledge/data_file.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace qelvora::sites::knowledge {
namespace {

bool endsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The raw bytes of a regular file, read through a descriptor opened without blocking (a FIFO or a
// device never stalls the reader) and without following a last-component link to a device.
std::optional<std::string> readRaw(const std::string& path, std::size_t maxBytes,
                                   std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    return std::nullopt;
  }
  if (static_cast<std::size_t>(st.st_size) > maxBytes) {
    why = "larger than " + std::to_string(maxBytes) + " bytes";
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;  // shrank while read: keep what is there
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

std::optional<std::string> gunzip(const std::string& packed, std::size_t maxBytes,
                                  std::string& why) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 32) != Z_OK) {  // gzip or zlib header
    why = "cannot unpack";
    return std::nullopt;
  }
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  z.avail_in = static_cast<uInt>(packed.size());
  int rc = Z_OK;
  char buffer[1 << 16];
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
    if (out.size() > maxBytes) rc = Z_MEM_ERROR;
    // Concatenated members are one file, as gzip reads them.
    if (rc == Z_STREAM_END && z.avail_in > 0) rc = inflateReset(&z);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    why = out.size() > maxBytes ? "unpacks to more than " + std::to_string(maxBytes) + " bytes"
                                : "not a whole gzip file";
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> bunzip2(const std::string& packed, std::size_t maxBytes,
                                   std::string& why) {
  bz_stream bz{};
  if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
    why = "cannot unpack";
    return std::nullopt;
  }
  std::string out;
  bz.next_in = const_cast<char*>(packed.data());
  bz.avail_in = static_cast<unsigned>(packed.size());
  int rc = BZ_OK;
  char buffer[1 << 16];
  while (rc == BZ_OK) {
    bz.next_out = buffer;
    bz.avail_out = sizeof buffer;
    rc = BZ2_bzDecompress(&bz);
    out.append(buffer, sizeof buffer - bz.avail_out);
    if (out.size() > maxBytes) rc = BZ_MEM_ERROR;
    if (rc == BZ_OK && bz.avail_in == 0 && bz.avail_out == sizeof buffer) break;  // cut short
  }
  BZ2_bzDecompressEnd(&bz);
  if (rc != BZ_STREAM_END) {
    why = out.size() > maxBytes ? "unpacks to more than " + std::to_string(maxBytes) + " bytes"
                                : "not a whole bzip2 file";
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::optional<std::string> readDataFile(const std::filesystem::path& path, Skipped& skipped,
                                        std::size_t maxBytes) {
  const std::string name = path.string();
  std::string why;
  std::optional<std::string> bytes = readRaw(name, maxBytes, why);
  if (bytes && endsWith(name, ".gz")) bytes = gunzip(*bytes, maxBytes, why);
  if (bytes && endsWith(name, ".bz2")) bytes = bunzip2(*bytes, maxBytes, why);
  if (!bytes) skipped.push_back(name + ": " + why);
  return bytes;
}

}  // namespace qelvora::sites::knowledge
