#include "app/sound_player.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qelvora {

namespace {

constexpr int kBufferCount = 20;
constexpr int kBufferSize = 15360;

std::uint32_t readLe32(std::string_view bytes, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::uint16_t readLe16(std::string_view bytes, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + pos;
  return std::uint16_t(p[0] | p[1] << 8);
}

struct WaveImage {
  WaveFormat format;
  std::string_view data;
};

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

// What the device's completion callback and stopSound touch. It does not own the device, so a
// late completion can never be the one that destroys it.
struct FeederSignal {
  std::mutex mutex;
  std::condition_variable wake;
  int semaphore = kBufferCount;  // counting semaphore: initial and maximum count 20
  int freeBuffers = kBufferCount;
  bool stop = false;

  void bufferDone() {
    {
      std::lock_guard lock(mutex);
      if (freeBuffers < kBufferCount) ++freeBuffers;
      if (semaphore < kBufferCount) ++semaphore;
    }
    wake.notify_one();
  }
  void signalStop() {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    wake.notify_one();
  }
};

// One playing sound. Its feeder thread holds the only owning reference, so everything here lives
// exactly as long as the thread that uses it.
struct PlayingSound {
  std::string data;
  bool repeat = false;
  std::unique_ptr<SoundDevice> device;
  std::vector<char> buffers = std::vector<char>(std::size_t(kBufferCount) * kBufferSize);
  std::shared_ptr<FeederSignal> signal = std::make_shared<FeederSignal>();
  std::size_t readPos = 0;
  int nextBuffer = 0;
};

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<FeederSignal>> playing;
  std::shared_ptr<SoundOutput> output;
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: detached feeders may outlive static teardown
  return *r;
}

std::atomic<std::int64_t> watchdogMs{8888};

void feed(const std::shared_ptr<PlayingSound>& sound) {
  FeederSignal& sig = *sound->signal;
  for (;;) {
    std::unique_lock lock(sig.mutex);
    const bool woke = sig.wake.wait_for(lock, std::chrono::milliseconds(watchdogMs.load()),
                                        [&] { return sig.stop || sig.semaphore > 0; });
    if (!woke || sig.stop) {
      // Stopped, or no buffer came back in time (no device, or a device that stalled).
      lock.unlock();
      if (sound->device) sound->device->reset();
      break;
    }
    --sig.semaphore;
    if (sound->readPos < sound->data.size()) {
      const int index = sound->nextBuffer;
      const std::size_t length =
          std::min<std::size_t>(kBufferSize, sound->data.size() - sound->readPos);
      char* buffer = sound->buffers.data() + std::size_t(index) * kBufferSize;
      std::memcpy(buffer, sound->data.data() + sound->readPos, length);
      sound->readPos += length;
      --sig.freeBuffers;
      sound->nextBuffer = (index + 1) % kBufferCount;
      lock.unlock();
      if (sound->device) sound->device->write(index, buffer, int(length));
      continue;
    }
    if (sig.freeBuffers < kBufferCount) continue;  // the last buffers are still playing
    if (!sound->repeat) break;
    sound->readPos = 0;
    sig.semaphore = kBufferCount;
  }
  {
    std::lock_guard lock(registry().mutex);
    auto& list = registry().playing;
    list.erase(std::remove(list.begin(), list.end(), sound->signal), list.end());
  }
  sound->device.reset();  // closes the device before the sound's buffers go
}

}  // namespace

void installSoundOutput(std::shared_ptr<SoundOutput> output) {
  std::lock_guard lock(registry().mutex);
  registry().output = std::move(output);
}

bool startSound(std::string_view wav, bool repeat) {
  const auto image = parseWave(wav);
  if (!image) return false;

  auto sound = std::make_shared<PlayingSound>();
  sound->data.assign(image->data);
  sound->repeat = repeat;
  std::shared_ptr<SoundOutput> output;
  {
    std::lock_guard lock(registry().mutex);
    output = registry().output;
  }
  if (output) {
    // The callback keeps only the signal alive; completions after the sound has ended are harmless.
    std::shared_ptr<FeederSignal> signal = sound->signal;
    sound->device = output->open(image->format, [signal](int) { signal->bufferDone(); });
  }
  // Without a device the feeder still runs: nothing is heard and, as no buffer ever comes back,
  // it ends by itself when the watchdog runs out.
  {
    std::lock_guard lock(registry().mutex);
    registry().playing.push_back(sound->signal);
  }
  try {
    std::thread([sound] { feed(sound); }).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(registry().mutex);
    auto& list = registry().playing;
    list.erase(std::remove(list.begin(), list.end(), sound->signal), list.end());
    return false;
  }
  return true;
}

void stopSound() {
  std::lock_guard lock(registry().mutex);
  for (const auto& signal : registry().playing) signal->signalStop();
}

int playingSoundCount() {
  std::lock_guard lock(registry().mutex);
  return int(registry().playing.size());
}

void setSoundWatchdog(std::chrono::milliseconds wait) {
  watchdogMs.store(std::max<std::int64_t>(1, wait.count()));
}

}  // namespace qelvora
