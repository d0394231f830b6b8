// The looping sound: a WAV image held in memory is fed to an output device in 20 buffers of
// 15,360 bytes by a feeder thread per playing sound. The device is an interface so that the
// feeder runs the same against Qt Multimedia and against the simulated device of the tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "app/wave_file.h"  // WaveFormat

namespace qelvora {

// One opened output device. write() queues one buffer; the device calls the completion callback
// given to open() once for each buffer it has finished playing (from any thread).
class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  virtual void write(int bufferIndex, const char* data, int length) = 0;
  // Stops playing and drops queued buffers; no completions follow for them.
  virtual void reset() = 0;
};

class SoundOutput {
 public:
  virtual ~SoundOutput() = default;
  // Opens the default device for format; nullptr when there is none or it refuses the format.
  virtual std::unique_ptr<SoundDevice> open(const WaveFormat& format,
                                            std::function<void(int bufferIndex)> done) = 0;
};

// Installs the output used by startSound (the program: Qt Multimedia; tests: a simulated device).
void installSoundOutput(std::shared_ptr<SoundOutput> output);

// Starts playing a WAV image; false when it is not a usable image. Returns at once.
bool startSound(std::string_view wav, bool repeat);
// Signals every playing sound to stop; returns at once.
void stopSound();

// The sounds whose feeder thread has not ended yet.
int playingSoundCount();
// How long a feeder waits for a buffer to come back before it gives the sound up (8,888 ms).
// Tests shorten it; the program never changes it.
void setSoundWatchdog(std::chrono::milliseconds wait);

}  // namespace qelvora
