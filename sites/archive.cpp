#include "sites/archive.h"

#include <zlib.h>

#include <cstdint>

namespace qelvora::sites {
namespace {

void put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

std::string makeZip(const std::vector<ArchiveFile>& files) {
  const std::uint32_t dosTime = 12u << 11;                                // 12:00:00
  const std::uint32_t dosDate = ((2014u - 1980) << 9) | (5u << 5) | 13u;  // 2014-05-13
  std::string out;
  std::string central;
  for (const auto& file : files) {
    const auto crc = static_cast<std::uint32_t>(crc32(
        0L, reinterpret_cast<const Bytef*>(file.data.data()), static_cast<uInt>(file.data.size())));
    const auto size = static_cast<std::uint32_t>(file.data.size());
    const auto offset = static_cast<std::uint32_t>(out.size());
    // Local file header.
    put32(out, 0x04034b50);
    put16(out, 10);  // version needed: 1.0
    put16(out, 0);   // flags
    put16(out, 0);   // method: stored
    put16(out, dosTime);
    put16(out, dosDate);
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, static_cast<std::uint32_t>(file.name.size()));
    put16(out, 0);
    out += file.name;
    out += file.data;
    // Its central directory record.
    put32(central, 0x02014b50);
    put16(central, 0x031E);  // made by: Unix, 3.0
    put16(central, 10);
    put16(central, 0);
    put16(central, 0);
    put16(central, dosTime);
    put16(central, dosDate);
    put32(central, crc);
    put32(central, size);
    put32(central, size);
    put16(central, static_cast<std::uint32_t>(file.name.size()));
    put16(central, 0);               // extra
    put16(central, 0);               // comment
    put16(central, 0);               // disk
    put16(central, 0);               // internal attributes
    put32(central, 0100644u << 16);  // external attributes: a regular file, rw-r--r--
    put32(central, offset);
    central += file.name;
  }
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  out += central;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(files.size()));
  put16(out, static_cast<std::uint32_t>(files.size()));
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, centralOffset);
  put16(out, 0);
  return out;
}

}  // namespace qelvora::sites
