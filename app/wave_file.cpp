#include "app/wave_file.h"

#include <algorithm>
#include <cstdint>

namespace qelvora {

namespace {

std::uint32_t readLe32(std::string_view bytes, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::uint16_t readLe16(std::string_view bytes, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  return std::uint16_t(p[0] | p[1] << 8);
}

}  // namespace

// Finds the first "fmt " and "data" chunks. Every read stays inside the bytes: a chunk that claims
// more bytes than remain is cut at the end of the image (a truncated recording still plays what it
// holds), and the walk ends where no further chunk header fits.
std::optional<WaveImage> parseWave(std::string_view wav) {
  if (wav.size() < 36 || wav.substr(0, 4) != "RIFF" || wav.substr(8, 4) != "WAVE") {
    return std::nullopt;
  }
  const std::uint64_t riffEnd = std::uint64_t(readLe32(wav, 4)) + 8;
  std::optional<std::string_view> fmt;
  std::optional<std::string_view> data;
  std::uint64_t pos = 12;
  while (!(fmt && data) && pos < riffEnd && pos + 8 <= wav.size()) {
    const std::string_view id = wav.substr(pos, 4);
    const std::uint64_t size = readLe32(wav, pos + 4);
    const std::uint64_t body = pos + 8;
    const std::size_t available = std::size_t(std::min<std::uint64_t>(size, wav.size() - body));
    if (id == "fmt " && !fmt) fmt = wav.substr(body, available);
    if (id == "data" && !data) data = wav.substr(body, available);
    pos = body + size;  // chunks follow each other with no pad byte
  }
  // A format block shorter than the 16 bytes of a PCM description cannot be read as one.
  if (!fmt || !data || fmt->size() < 16 || data->empty()) return std::nullopt;

  WaveImage image;
  image.format.formatTag = readLe16(*fmt, 0);
  image.format.channels = readLe16(*fmt, 2);
  image.format.sampleRate = int(std::min<std::uint32_t>(readLe32(*fmt, 4), INT32_MAX));
  image.format.blockAlign = readLe16(*fmt, 12);
  image.format.bitsPerSample = readLe16(*fmt, 14);
  image.data = *data;
  return image;
}

}  // namespace qelvora
