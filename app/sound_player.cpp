#include "app/sound_player.h"

#include "app/wave_file.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qelvora {

namespace {

constexpr int kBufferCount = 20;
constexpr int kBufferSize = 15360;

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
