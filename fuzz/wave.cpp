// The WAV chunk walk of the sound player. A RIFF/WAVE image put together here from a format, any
// other chunks and sample data must give back exactly that format and data; any bytes at all must
// give what a plain walk over the chunks finds, with the data inside the image.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "app/wave_file.h"
#include "fuzz/check.h"

using namespace qelvora;
using fuzz::expect;
using fuzz::expectNumber;
using fuzz::expectText;

namespace {

std::uint32_t le(std::string_view s, std::size_t pos, std::size_t count) {
  std::uint32_t v = 0;
  for (std::size_t k = count; k-- > 0;) v = v << 8 | static_cast<unsigned char>(s[pos + k]);
  return v;
}

std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

struct Walked {
  std::size_t fmtAt = 0, fmtSize = 0, dataAt = 0, dataSize = 0;
};

// Chunks from offset 12, one right after the other, as long as a chunk header fits in the bytes
// and starts inside the RIFF size; bodies cut at the end of the bytes.
std::optional<Walked> walk(std::string_view wav) {
  if (wav.size() < 36 || !wav.starts_with("RIFF") || wav.substr(8, 4) != "WAVE")
    return std::nullopt;
  const unsigned long long riffEnd = le(wav, 4, 4) + 8ULL;
  std::optional<std::pair<std::size_t, std::size_t>> fmt, data;
  for (unsigned long long at = 12; at < riffEnd && at + 8 <= wav.size() && !(fmt && data);) {
    const unsigned long long size = le(wav, at + 4, 4);
    const auto body = std::make_pair(static_cast<std::size_t>(at + 8),
                                     static_cast<std::size_t>(std::min(size, wav.size() - at - 8)));
    if (wav.substr(at, 4) == "fmt " && !fmt) fmt = body;
    if (wav.substr(at, 4) == "data" && !data) data = body;
    at += 8 + size;
  }
  if (!fmt || !data || fmt->second < 16 || data->second == 0) return std::nullopt;
  return Walked{fmt->first, fmt->second, data->first, data->second};
}

void checkAnyBytes(const std::string& wav) {
  const auto got = parseWave(wav);
  const auto want = walk(wav);
  expect(got.has_value() == want.has_value(),
         got ? "accepted an unusable image" : "refused a usable image");
  if (!got) return;
  const char* begin = wav.data();
  expect(got->data.data() == begin + want->dataAt && got->data.size() == want->dataSize,
         "data is not the first data chunk's body");
  const std::string_view fmt(begin + want->fmtAt, want->fmtSize);
  expectNumber("formatTag", got->format.formatTag, le(fmt, 0, 2));
  expectNumber("channels", got->format.channels, le(fmt, 2, 2));
  expectNumber("sampleRate", got->format.sampleRate,
               std::min<std::uint32_t>(le(fmt, 4, 4), INT_MAX));
  expectNumber("blockAlign", got->format.blockAlign, le(fmt, 12, 2));
  expectNumber("bitsPerSample", got->format.bitsPerSample, le(fmt, 14, 2));
}

void checkComposed(FuzzedDataProvider& in) {
  const std::uint16_t tag = in.ConsumeIntegral<std::uint16_t>(),
                      channels = in.ConsumeIntegral<std::uint16_t>();
  const std::uint32_t rate = in.ConsumeIntegralInRange<std::uint32_t>(1, 384000);
  const std::uint16_t align = in.ConsumeIntegral<std::uint16_t>(),
                      bits = in.ConsumeIntegral<std::uint16_t>();
  std::string fmt = std::string(2, '\0') + std::string(2, '\0') + le32(rate) + le32(rate * 4) +
                    std::string(2, '\0') + std::string(2, '\0');
  fmt[0] = static_cast<char>(tag), fmt[1] = static_cast<char>(tag >> 8);
  fmt[2] = static_cast<char>(channels), fmt[3] = static_cast<char>(channels >> 8);
  fmt[12] = static_cast<char>(align), fmt[13] = static_cast<char>(align >> 8);
  fmt[14] = static_cast<char>(bits), fmt[15] = static_cast<char>(bits >> 8);
  fmt += in.ConsumeRandomLengthString(8);  // an extended format block
  const std::string samples = "s" + in.ConsumeRandomLengthString(256);

  // Other chunks (never "fmt " or "data") before, between and after the two.
  auto otherChunk = [&in] {
    std::string id = in.ConsumeBytesAsString(4);
    id.resize(4, 'x');
    if (id == "fmt " || id == "data") id = "LIST";
    const std::string body = in.ConsumeRandomLengthString(32);
    return id + le32(static_cast<std::uint32_t>(body.size())) + body;
  };
  auto chunk = [](std::string_view id, const std::string& body) {
    return std::string(id) + le32(static_cast<std::uint32_t>(body.size())) + body;
  };
  std::string fmtChunk = chunk("fmt ", fmt), dataChunk = chunk("data", samples);
  if (in.ConsumeBool()) std::swap(fmtChunk, dataChunk);
  std::string body = "WAVE";
  while (in.ConsumeBool() && in.remaining_bytes() > 0) body += otherChunk();
  body += fmtChunk;
  while (in.ConsumeBool() && in.remaining_bytes() > 0) body += otherChunk();
  body += dataChunk;
  if (in.ConsumeBool()) body += otherChunk();
  const std::string wav = "RIFF" + le32(static_cast<std::uint32_t>(body.size())) + body;

  const auto got = parseWave(wav);
  expect(got.has_value(), "refused a well-formed image");
  expectText("data", got->data, samples);
  expectNumber("formatTag", got->format.formatTag, tag);
  expectNumber("channels", got->format.channels, channels);
  expectNumber("sampleRate", got->format.sampleRate, rate);
  expectNumber("blockAlign", got->format.blockAlign, align);
  expectNumber("bitsPerSample", got->format.bitsPerSample, bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An input that is a RIFF file is walked as it is; any other drives the composition.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.starts_with("RIFF")) {
    checkAnyBytes(bytes);
  } else {
    FuzzedDataProvider in(data, size);
    checkComposed(in);
  }
  return 0;
}
