// The chunk walk of a WAV image held in memory: its "fmt " description and its sample data. Kept
// apart from the player so that it can be read and exercised without threads, devices or Qt.
#pragma once

#include <optional>
#include <string_view>

namespace qelvora {

struct WaveFormat {
  int channels = 0;
  int sampleRate = 0;
  int bitsPerSample = 0;
  int blockAlign = 0;
  int formatTag = 0;  // 1 = PCM
};

struct WaveImage {
  WaveFormat format;
  std::string_view data;  // points into the image that was walked
};

// The first "fmt " and "data" chunks of a RIFF/WAVE image; nullopt when it is not a usable one.
std::optional<WaveImage> parseWave(std::string_view wav);

}  // namespace qelvora
