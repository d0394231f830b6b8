// The sound generated at build time, and the Qt Multimedia output that plays it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <thread>

#include "app/qt_audio_device.h"
#include "app/sound_player.h"
#include "resources/sound/embedded_sound.h"

namespace qelvora {
namespace {

using namespace std::chrono_literals;

std::uint32_t le32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + std::size_t(i)]);
  return v;
}
int le16(std::string_view s, std::size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

TEST(EmbeddedSound, IsAStereoPcmWaveOfTheAgreedSize) {
  const std::string_view wav = embeddedSound();
  ASSERT_EQ(wav.size(), 1890044u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(wav, 4), 1890036u);
  EXPECT_EQ(wav.substr(8, 4), "WAVE");
  EXPECT_EQ(wav.substr(12, 4), "fmt ");
  EXPECT_EQ(le32(wav, 16), 16u);
  EXPECT_EQ(le16(wav, 20), 1);        // PCM
  EXPECT_EQ(le16(wav, 22), 2);        // channels
  EXPECT_EQ(le32(wav, 24), 44100u);   // samples per second
  EXPECT_EQ(le32(wav, 28), 176400u);  // bytes per second
  EXPECT_EQ(le16(wav, 32), 4);        // block alignment
  EXPECT_EQ(le16(wav, 34), 16);       // bits per sample
  EXPECT_EQ(wav.substr(36, 4), "data");
  EXPECT_EQ(le32(wav, 40), 1890000u);
}

// Audible on both sides, without clipping, and the loop joins without a jump.
TEST(EmbeddedSound, IsAudibleAndLoopsSmoothly) {
  const std::string_view wav = embeddedSound();
  ASSERT_EQ(wav.size(), 1890044u);
  auto sample = [&](std::size_t frame, int channel) {
    return int(std::int16_t(le16(wav, 44 + frame * 4 + std::size_t(channel) * 2)));
  };
  const std::size_t frames = 1890000 / 4;
  for (int channel = 0; channel < 2; ++channel) {
    int peak = 0;
    for (std::size_t f = 0; f < frames; ++f) peak = std::max(peak, std::abs(sample(f, channel)));
    EXPECT_GT(peak, 8000) << "channel " << channel;
    EXPECT_LT(peak, 32767) << "channel " << channel;
    EXPECT_LT(std::abs(sample(frames - 1, channel) - sample(0, channel)), 2000);
  }
}

// The program's output: with an audio device the sound plays until stopped; without one it is
// silent. Either way starting and stopping neither fails nor hangs.
TEST(QtAudioOutput, PlaysAndStopsTheEmbeddedSound) {
  int argc = 1;
  char name[] = "test_sound_embedded";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  auto output = std::make_shared<QtAudioOutput>();
  installSoundOutput(output);
  setSoundWatchdog(200ms);

  WaveFormat unsupported;
  unsupported.formatTag = 3;  // floating point samples
  unsupported.channels = 2;
  unsupported.sampleRate = 44100;
  unsupported.bitsPerSample = 32;
  EXPECT_EQ(output->open(unsupported, [](int) {}), nullptr);

  ASSERT_TRUE(startSound(embeddedSound(), true));
  std::this_thread::sleep_for(100ms);  // let it play a little where there is a device
  stopSound();
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (playingSoundCount() > 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(playingSoundCount(), 0);
  installSoundOutput(nullptr);
  setSoundWatchdog(8888ms);
}

}  // namespace
}  // namespace qelvora
