// Typing cadence: 100 characters at 40 ms per character should take 4.0 s (the first character
// comes one period after the start, the last completes the typing), within 2%.
// Progress refresh: one progressTick with a 1 MiB transcript should stay well under 1 ms, since
// it runs every 10 ms on the window thread.
//
// Run a Release build: build/<dir>/bench/typing_bench
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cmath>
#include <string>

#include "answer/typing.h"
#include "app/form_model.h"
#include "base/program_state.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

struct Rig {
  FormModel model;
  ProgramState state;
  Presentation presentation{model, state, [] {}, [] {}};
  Rig() {
    model.handlers.typingTimerTick = [this] { typingTick(presentation); };
    model.handlers.progressTimerTick = [this] { progressTick(presentation); };
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
    startTyping(rig.presentation);
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
  const Text sentence = utf8ToGbk("问：这是什么？\r\n答：这是一个 1 MiB 的回答，中英文 mixed。");
  Text transcript;
  while (transcript.size() < (1u << 20)) transcript += sentence;
  transcript.resize(1u << 20);
  rig.model.setContent(ctl::kTranscriptBox, transcript);
  rig.model.setContent(ctl::kAnswerBox, transcript.substr(0, transcript.size() / 2));
  for (auto _ : bench) progressTick(rig.presentation);
  benchmark::DoNotOptimize(rig.model.title());
}
BENCHMARK(progressRefresh)->Unit(benchmark::kMicrosecond);

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
