// Typing cadence: 100 characters at 40 ms per character should take 4.0 s (the first character
// comes one period after the start, the last completes the typing), within 2%.
// Progress refresh: one progressTick costs the same at any length (goal: under 50 us), since it
// runs every 10 ms on the window thread.
// Instant typing: a 1 MiB transcript typed on instant timers (as qelvora-ask --instant does) in
// under 2 s, the time growing linearly with the length (16 MiB at most 20 times 1 MiB), and the
// heap growing by at most 3 times the transcript while it is typed.
//
// Run a Release build: build/<dir>/bench/typing_bench
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>

#include "answer/typing.h"
#include "app/form_model.h"
#include "base/program_state.h"
#include "web/encoding.h"

// Heap bytes in use and their high-water mark, for the typing's memory figure.
std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};

void* counted(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  const std::size_t now = heapInUse += malloc_usable_size(p);
  std::size_t peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return p;
}

void uncounted(void* p) noexcept {
  if (!p) return;
  heapInUse -= malloc_usable_size(p);
  std::free(p);
}

void* operator new(std::size_t size) {
  return counted(size);
}
void* operator new[](std::size_t size) {
  return counted(size);
}
void operator delete(void* p) noexcept {
  uncounted(p);
}
void operator delete[](void* p) noexcept {
  uncounted(p);
}
void operator delete(void* p, std::size_t) noexcept {
  uncounted(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  uncounted(p);
}

namespace qelvora {
namespace {

// A transcript of about `bytes` bytes, mixed Chinese and ASCII with spaces and line breaks.
Text sampleTranscript(std::size_t bytes) {
  const Text sentence =
      utf8ToGbk("问：这是什么？\r\n答：这是一个很长的回答，中英文 mixed text。\r\n");
  Text transcript;
  transcript.reserve(bytes + sentence.size());
  while (transcript.size() < bytes) transcript += sentence;
  transcript.resize(bytes);
  return transcript;
}

struct Rig {
  FormModel model;
  ProgramState state;
  AnswerSession session{model, state, {}, {}, {}};
  Rig() {
    model.handlers.typingTimerTick = [this] { typingTick(session); };
    model.handlers.progressTimerTick = [this] { progressTick(session); };
  }
};

void typingCadence(benchmark::State& bench) {
  Rig rig;
  const int characters = int(bench.range(0));
  const int periodMs = int(bench.range(1));
  rig.model.setContent(ctl::kSpeedBox, std::to_string(periodMs));
  // No spaces: every character takes a tick of its own. Half of them two-byte.
  Text transcript;
  for (int i = 0; i < characters; ++i) transcript += i % 2 ? Text("x") : utf8ToGbk("字");
  double worst = 0;
  for (auto _ : bench) {
    rig.model.setDisabled(ctl::kAskButton, true);
    rig.model.setContent(ctl::kTranscriptBox, transcript);
    QElapsedTimer clock;
    clock.start();
    startTyping(rig.session);
    rig.model.setPeriod(ctl::kProgressTimer, 10);  // as during an answer
    while (rig.model.disabled(ctl::kAskButton)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    bench.SetIterationTime(seconds);
    const double expected = characters * periodMs / 1000.0;
    worst = std::max(worst, std::abs(seconds - expected) / expected);
  }
  bench.counters["worst_deviation_pct"] = worst * 100;
}
BENCHMARK(typingCadence)
    ->Args({100, 40})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void progressRefresh(benchmark::State& bench) {
  Rig rig;
  const Text transcript = sampleTranscript(std::size_t(bench.range(0)) << 20);
  rig.model.setContent(ctl::kTranscriptBox, transcript);
  rig.model.setContent(ctl::kAnswerBox, transcript.substr(0, transcript.size() / 2));
  rig.model.appendText(ctl::kAnswerBox, transcript.substr(transcript.size() / 2, 2));
  for (auto _ : bench) progressTick(rig.session);
  benchmark::DoNotOptimize(rig.model.title());
}
BENCHMARK(progressRefresh)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

// The whole typing of a long answer on instant timers, the progress title ticking alongside.
void instantTyping(benchmark::State& bench) {
  const Text transcript = sampleTranscript(std::size_t(bench.range(0)) << 20);
  double growth = 0;
  for (auto _ : bench) {
    Rig rig;
    rig.model.setInstantTimers(true);
    rig.model.setDisabled(ctl::kAskButton, true);
    rig.model.setContent(ctl::kTranscriptBox, transcript);
    const std::size_t before = heapInUse.load();
    heapPeak = before;
    startTyping(rig.session);
    rig.model.setPeriod(ctl::kProgressTimer, 10);
    while (rig.model.disabled(ctl::kAskButton)) QCoreApplication::processEvents();
    growth = std::max(growth, double(heapPeak.load() - before) / double(transcript.size()));
  }
  bench.counters["heap_growth_x"] = growth;
  bench.SetBytesProcessed(std::int64_t(bench.iterations()) * std::int64_t(transcript.size()));
}
BENCHMARK(instantTyping)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

void countCharacters(benchmark::State& bench) {
  const Text sentence = utf8ToGbk("答：这是一个回答，中英文 mixed text.\r\n");
  Text text;
  while (text.size() < (1u << 20)) text += sentence;
  for (auto _ : bench) benchmark::DoNotOptimize(charCount(text));
  bench.SetBytesProcessed(std::int64_t(bench.iterations()) * std::int64_t(text.size()));
}
BENCHMARK(countCharacters)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qelvora

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
