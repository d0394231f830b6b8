// The feeder of the looping sound against a simulated output device whose buffers come back when
// the test says so (or at once, or never).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/sound_player.h"

namespace qelvora {
namespace {

using namespace std::chrono_literals;

constexpr int kBuffer = 15360;

enum class Completion { Manual, Immediate, Never };

// What one opened device saw; outlives the device so the test can inspect it afterwards.
struct DeviceRecord {
  std::mutex mutex;
  WaveFormat format;
  std::function<void(int)> done;
  std::deque<int> pending;
  std::vector<std::pair<int, std::string>> writes;  // buffer index, bytes
  std::vector<std::string> log;                     // "W<index>", "C<index>", "R"
  int resets = 0;
  bool closed = false;

  int writeCount() {
    std::lock_guard lock(mutex);
    return int(writes.size());
  }
  bool isClosed() {
    std::lock_guard lock(mutex);
    return closed;
  }
  // Reports the oldest queued buffer as played, from the calling thread.
  bool completeOldest() {
    int index;
    {
      std::lock_guard lock(mutex);
      if (pending.empty()) return false;
      index = pending.front();
      pending.pop_front();
      log.push_back("C" + std::to_string(index));
    }
    done(index);
    return true;
  }
  std::string played() {
    std::lock_guard lock(mutex);
    std::string all;
    for (auto& w : writes) all += w.second;
    return all;
  }
};

class SimDevice : public SoundDevice {
 public:
  SimDevice(std::shared_ptr<DeviceRecord> record, Completion mode)
      : record_(std::move(record)), mode_(mode) {}
  ~SimDevice() override {
    std::lock_guard lock(record_->mutex);
    record_->closed = true;
  }
  void write(int index, const char* data, int length) override {
    {
      std::lock_guard lock(record_->mutex);
      record_->writes.emplace_back(index, std::string(data, std::size_t(length)));
      record_->log.push_back("W" + std::to_string(index));
      if (mode_ != Completion::Never) record_->pending.push_back(index);
    }
    if (mode_ == Completion::Immediate) record_->completeOldest();
  }
  void reset() override {
    std::lock_guard lock(record_->mutex);
    record_->pending.clear();
    record_->log.push_back("R");
    ++record_->resets;
  }

 private:
  std::shared_ptr<DeviceRecord> record_;
  Completion mode_;
};

class SimOutput : public SoundOutput {
 public:
  explicit SimOutput(Completion mode) : mode_(mode) {}
  std::unique_ptr<SoundDevice> open(const WaveFormat& format,
                                    std::function<void(int)> done) override {
    auto record = std::make_shared<DeviceRecord>();
    record->format = format;
    record->done = std::move(done);
    std::lock_guard lock(mutex_);
    records_.push_back(record);
    return std::make_unique<SimDevice>(record, mode_);
  }
  std::shared_ptr<DeviceRecord> record(std::size_t i) {
    std::lock_guard lock(mutex_);
    return i < records_.size() ? records_[i] : nullptr;
  }
  std::size_t opened() {
    std::lock_guard lock(mutex_);
    return records_.size();
  }

 private:
  Completion mode_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<DeviceRecord>> records_;
};

// Waits for a condition that another thread brings about; the limit only keeps a broken build
// from hanging.
template <class Pred>
bool eventually(Pred pred) {
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

void put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
}
void put16(std::string& s, std::uint16_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char(v >> 8));
}
std::string chunk(std::string_view id, std::string_view body) {
  std::string c(id);
  put32(c, std::uint32_t(body.size()));
  c += body;
  return c;
}
std::string chunkWithSize(std::string_view id, std::uint32_t size, std::string_view body) {
  std::string c(id);
  put32(c, size);
  c += body;
  return c;
}
std::string pcmFormat(int channels = 2, int rate = 44100, int bits = 16) {
  std::string f;
  put16(f, 1);
  put16(f, std::uint16_t(channels));
  put32(f, std::uint32_t(rate));
  put32(f, std::uint32_t(rate * channels * bits / 8));
  put16(f, std::uint16_t(channels * bits / 8));
  put16(f, std::uint16_t(bits));
  return f;
}
// A RIFF image around the given chunks; riffSize < 0 means the true size.
std::string riff(const std::string& chunks, std::int64_t riffSize = -1) {
  std::string w = "RIFF";
  put32(w, std::uint32_t(riffSize < 0 ? 4 + chunks.size() : riffSize));
  w += "WAVE";
  w += chunks;
  return w;
}
std::string samples(std::size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char((i * 131 + seed * 17 + i / 997) & 0xFF);
  return s;
}

// startSound gets a block of exactly the image's size, so a read past its end is a fault the
// address sanitizer reports.
bool startExact(const std::string& image, bool repeat) {
  auto block = std::make_unique<char[]>(image.size());
  std::memcpy(block.get(), image.data(), image.size());
  return startSound(std::string_view(block.get(), image.size()), repeat);
}

class SoundPlayer : public ::testing::Test {
 protected:
  void TearDown() override {
    stopSound();
    EXPECT_TRUE(eventually([] { return playingSoundCount() == 0; }));
    setSoundWatchdog(8888ms);
    installSoundOutput(nullptr);
  }
  std::shared_ptr<SimOutput> install(Completion mode) {
    auto out = std::make_shared<SimOutput>(mode);
    installSoundOutput(out);
    return out;
  }
};

TEST_F(SoundPlayer, RefusesImagesThatAreNotUsableWaves) {
  const std::string fmt = chunk("fmt ", pcmFormat());
  const std::string data = chunk("data", samples(64));
  struct Case {
    const char* name;
    std::string image;
  };
  const std::string good = riff(fmt + data);
  std::string notRiff = good;
  notRiff[3] = 'X';
  std::string notWave = good;
  notWave[11] = 'X';
  const Case cases[] = {
      {"35 bytes", good.substr(0, 35)},
      {"empty", ""},
      {"not RIFF", notRiff},
      {"not WAVE", notWave},
      {"no data chunk", riff(fmt + chunk("LIST", samples(40)))},
      {"no fmt chunk", riff(chunk("LIST", samples(40)) + data)},
      {"data size 0", riff(fmt + chunk("data", ""))},
      {"format block too short", riff(chunk("fmt ", pcmFormat().substr(0, 10)) + data)},
      {"huge chunk size before data",
       riff(chunkWithSize("LIST", 0xFFFFFFF0u, "abcd") + fmt + data)},
      {"chunk size past the end before data", riff(fmt + chunkWithSize("LIST", 200, samples(20)))},
      {"header cut inside a chunk header", riff(fmt + "dat")},
      {"RIFF size ends before the data chunk", riff(fmt + data, 4 + std::int64_t(fmt.size()))},
  };
  auto out = install(Completion::Immediate);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(startExact(c.image, false));
  }
  EXPECT_EQ(out->opened(), 0u);
  EXPECT_EQ(playingSoundCount(), 0);
}

TEST_F(SoundPlayer, PlaysTheDataChunkOfAcceptedImages) {
  const std::string fmt = chunk("fmt ", pcmFormat(1, 22050, 8));
  const std::string body = samples(40000, 3);
  struct Case {
    const char* name;
    std::string image;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", riff(fmt + chunk("data", body)), body},
      // No pad byte after an odd-sized chunk: the next header follows at once.
      {"odd chunk before data", riff(fmt + chunk("LIST", "abc") + chunk("data", body)), body},
      {"chunks after data", riff(chunk("data", body) + fmt + chunk("LIST", "xyzw")), body},
      {"second data chunk ignored", riff(fmt + chunk("data", body) + chunk("data", "zz")), body},
      // A recording cut short plays what it holds.
      {"data size past the end", riff(fmt + chunkWithSize("data", 90000, body)), body},
      {"one byte of data", riff(fmt + chunk("data", "q") + chunk("LIST", samples(20))), "q"},
  };
  auto out = install(Completion::Immediate);
  std::size_t device = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(startExact(c.image, false));
    ASSERT_TRUE(eventually([] { return playingSoundCount() == 0; }));
    auto rec = out->record(device++);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->played(), c.expected);
    EXPECT_EQ(rec->format.formatTag, 1);
    EXPECT_EQ(rec->format.channels, 1);
    EXPECT_EQ(rec->format.sampleRate, 22050);
    EXPECT_EQ(rec->format.bitsPerSample, 8);
    EXPECT_EQ(rec->format.blockAlign, 1);
    EXPECT_EQ(rec->resets, 0);  // ended because the data ran out, not by a reset
    // The feeder leaves the list of playing sounds before it closes its device.
    EXPECT_TRUE(eventually([&] { return rec->isClosed(); }));
  }
}

// Never more than 20 buffers with the device; each is 15,360 bytes except the last of the data;
// buffer indices cycle 0..19.
TEST_F(SoundPlayer, KeepsAtMostTwentyBuffersQueued) {
  const std::string body = samples(std::size_t(kBuffer) * 23 + 7, 5);
  auto out = install(Completion::Manual);
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat()) + chunk("data", body)), false));
  ASSERT_TRUE(eventually([&] { return out->record(0) && out->record(0)->writeCount() == 20; }));
  auto rec = out->record(0);
  while (!rec->isClosed()) {
    if (!rec->completeOldest()) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(rec->played(), body);
  std::lock_guard lock(rec->mutex);
  ASSERT_EQ(rec->writes.size(), 24u);
  for (std::size_t i = 0; i < rec->writes.size(); ++i) {
    EXPECT_EQ(rec->writes[i].first, int(i % 20));
    EXPECT_EQ(rec->writes[i].second.size(), i < 23 ? std::size_t(kBuffer) : 7u);
  }
  int queued = 0;
  for (const std::string& e : rec->log) {
    queued += e[0] == 'W' ? 1 : e[0] == 'C' ? -1 : 0;
    EXPECT_LE(queued, 20);
  }
}

// With repeat the data starts again only after the last buffer has come back, and keeps going
// until stopSound.
TEST_F(SoundPlayer, RepeatRestartsAfterTheLastBufferHasPlayed) {
  const std::string body = samples(std::size_t(kBuffer) * 3 + 100, 7);
  auto out = install(Completion::Manual);
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat()) + chunk("data", body)), true));
  ASSERT_TRUE(eventually([&] { return out->record(0) && out->record(0)->writeCount() == 4; }));
  auto rec = out->record(0);
  for (int round = 1; round <= 3; ++round) {
    // Exactly this round's four buffers: once the last one is back the feeder queues the next
    // round, which must not be completed here as well.
    for (int k = 0; k < 4; ++k) ASSERT_TRUE(rec->completeOldest());
    ASSERT_TRUE(eventually([&] { return rec->writeCount() == 4 * (round + 1); }));
  }
  stopSound();
  ASSERT_TRUE(eventually([&] { return rec->isClosed(); }));
  EXPECT_EQ(playingSoundCount(), 0);

  std::lock_guard lock(rec->mutex);
  EXPECT_EQ(rec->resets, 1);
  EXPECT_EQ(rec->log.back(), "R");
  ASSERT_EQ(rec->writes.size(), 16u);
  for (std::size_t i = 0; i < rec->writes.size(); ++i) {
    EXPECT_EQ(rec->writes[i].first, int(i % 20));
    const std::size_t at = (i % 4) * kBuffer;
    EXPECT_EQ(rec->writes[i].second, body.substr(at, kBuffer)) << "write " << i;
  }
  // Each round of writes begins only once every buffer of the round before has come back.
  int queued = 0;
  int written = 0;
  for (const std::string& e : rec->log) {
    if (e[0] == 'W') {
      if (written % 4 == 0) {
        EXPECT_EQ(queued, 0) << "write " << written;
      }
      ++queued;
      ++written;
    } else if (e[0] == 'C') {
      --queued;
    }
  }
}

TEST_F(SoundPlayer, StopEndsEverySoundAndIsHarmlessWhenNothingPlays) {
  stopSound();  // nothing playing
  auto out = install(Completion::Manual);
  const std::string a = samples(std::size_t(kBuffer) * 30, 11);
  const std::string b = samples(5000, 13);
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat()) + chunk("data", a)), true));
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat(1)) + chunk("data", b)), true));
  ASSERT_TRUE(eventually([&] {
    return out->opened() == 2 && out->record(0)->writeCount() == 20 &&
           out->record(1)->writeCount() == 1;
  }));
  EXPECT_EQ(playingSoundCount(), 2);
  EXPECT_EQ(out->record(0)->played(), a.substr(0, std::size_t(kBuffer) * 20));
  EXPECT_EQ(out->record(1)->played(), b);

  stopSound();
  ASSERT_TRUE(eventually([] { return playingSoundCount() == 0; }));
  for (std::size_t i = 0; i < 2; ++i) {
    auto rec = out->record(i);
    EXPECT_TRUE(rec->isClosed());
    EXPECT_EQ(rec->resets, 1);
  }
  // A completion that arrives after its sound has gone must not touch freed state.
  out->record(0)->done(3);
  out->record(1)->done(0);
}

TEST_F(SoundPlayer, WatchdogEndsASoundWhoseBuffersNeverComeBack) {
  setSoundWatchdog(30ms);
  auto out = install(Completion::Never);
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat()) + chunk("data", samples(1000))), true));
  ASSERT_TRUE(eventually([] { return playingSoundCount() == 0; }));
  auto rec = out->record(0);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->writeCount(), 1);
  EXPECT_EQ(rec->resets, 1);
  EXPECT_TRUE(rec->isClosed());
}

TEST_F(SoundPlayer, WithoutAnOutputTheSoundEndsByItself) {
  setSoundWatchdog(30ms);
  installSoundOutput(nullptr);
  ASSERT_TRUE(startExact(riff(chunk("fmt ", pcmFormat()) + chunk("data", samples(1000))), true));
  EXPECT_TRUE(eventually([] { return playingSoundCount() == 0; }));
}

}  // namespace
}  // namespace qelvora
