// From the ask click to the first typed character an answer takes the busy animation's waits
// (50 x 100 ms), the 1 s pause, and two page fetches. This measures what is left over: the time
// our own code adds (router, sources, cutting, clean-up, control hand-overs, typing start).
//
// Each iteration runs the real flow against qelvora-sites on loopback, then measures the same two
// fetches alone (and, with real waits, the same waits on the same kind of thread), and reports
// total - waits - fetches - one typing period as the iteration's (manual) time. With real waits
// the figure drowns in the waits' own jitter (a few ms over 6 s); with instant waits (same code,
// the waits only serve pending events) it is our overhead alone.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <thread>

#include "answer/time_answer.h"
#include "app/event_hooks.h"
#include "base/hosts.h"
#include "sites/corpus.h"
#include "sources/answer_site.h"
#include "sources/source_software.h"
#include "tests/answer/test_router_support.h"
#include "tests/support/sites_process.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {
namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

sites::Corpus& corpus() {
  static sites::Corpus c = sites::loadCorpus(QELVORA_SITES_DATA_DIR);
  return c;
}

// The design's waits of one answer: 50 x 100 ms and 1000 ms.
double designWaitsMs() {
  const auto start = Clock::now();
  for (int i = 0; i < 50; ++i) waitWithEvents(100);
  waitWithEvents(1000);
  return msSince(start);
}

double onWorker(const std::function<double()>& fn) {
  double result = 0;
  std::thread t([&] { result = fn(); });
  t.join();
  return result;
}

enum Kind { kFuzzy = 0, kExact = 1, kSoftware = 2, kTime = 3 };

// Time of the two fetches the answer made, fetched again the same way.
double fetchesMs(Kind kind, const Text& question, const ProgramState& state) {
  return onWorker([&] {
    const auto start = Clock::now();
    switch (kind) {
      case kFuzzy:
      case kExact: {
        const AnswerSite& site = kind == kFuzzy ? fuzzySite() : exactSite();
        const Text address = "http://" + hosts().*site.host;
        const Text q = urlEncodeUtf8(question);
        fetchPage(address + site.searchPath(q));
        fetchPage(address + site.answerPath(state.answerLink, q));
        break;
      }
      case kSoftware:
        fetchPage("http://" + hosts().source3 + softwareSite().searchPath(urlEncodeGbk(question)));
        fetchPage(state.answerLink);
        break;
      case kTime:
        fetchBeijingTime();
        fetchBeijingTime();
        break;
    }
    return msSince(start);
  });
}

Text questionFor(Kind kind) {
  switch (kind) {
    case kFuzzy:
      return utf8ToGbk(corpus().fuzzy.front().question);
    case kExact:
      return utf8ToGbk(corpus().exact.front().question);
    case kSoftware:
      return utf8ToGbk(corpus().software.front().question);
    default:
      return utf8ToGbk("北京时间");
  }
}

void BM_ClickToFirstCharacter(benchmark::State& st) {
  const Kind kind = static_cast<Kind>(st.range(0));
  const bool instant = st.range(1) != 0;
  const Text question = questionFor(kind);
  double totalSum = 0, waitsSum = 0, fetchSum = 0;
  for (auto _ : st) {
    testing::AnswerRig rig;
    Clock::time_point clicked, firstTyped;
    bool typed = false;
    const QString answerBox = QString::fromUtf8(ctl::kAnswerBox.data(), ctl::kAnswerBox.size());
    QObject::connect(&rig.model, &FormModel::textAppended,
                     [&](const QString& control, const QByteArray&) {
                       if (!typed && control == answerBox) {
                         typed = true;
                         firstTyped = Clock::now();
                       }
                     });
    rig.model.editByUser(ctl::kQuestionBox, question);
    rig.model.selectByUser(ctl::kSourceList, kind == kTime ? 0 : kind);
    setInstantWaits(instant);
    clicked = Clock::now();
    rig.model.click(ctl::kAskButton);
    testing::serveUntil([&] { return typed; }, 60000);
    const double total = std::chrono::duration<double, std::milli>(firstTyped - clicked).count();
    rig.waitForAnswer();
    setInstantWaits(false);

    // The built-in answers wait on the window thread, the sources on their worker.
    const double waits = instant ? 0 : kind == kTime ? designWaitsMs() : onWorker(designWaitsMs);
    const double fetches = fetchesMs(kind, question, rig.state);
    const double typingPeriod = 1;  // 编辑框2 holds "1"
    st.SetIterationTime(std::max(0.0, total - waits - fetches - typingPeriod) / 1000.0);
    totalSum += total;
    waitsSum += waits;
    fetchSum += fetches;
  }
  const double n = static_cast<double>(st.iterations());
  st.counters["click_to_char_ms"] = totalSum / n;
  st.counters["waits_ms"] = waitsSum / n;
  st.counters["fetches_ms"] = fetchSum / n;
  st.counters["overhead_ms"] = (totalSum - waitsSum - fetchSum) / n - 1;
}
// source: 0 fuzzy, 1 exact, 2 software, 3 the time answer; instant: waits skipped.
BENCHMARK(BM_ClickToFirstCharacter)
    ->ArgNames({"source", "instant"})
    ->ArgsProduct({{0, 1, 2, 3}, {1}})
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClickToFirstCharacter)
    ->ArgNames({"source", "instant"})
    ->ArgsProduct({{0, 1, 2, 3}, {0}})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qelvora

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qelvora::installGuiEventHooks();
  qelvora::testing::SitesProcess sites(QELVORA_SITES_PROGRAM,
                                       {"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
  if (!sites.running()) return 1;
  qelvora::hosts() = qelvora::Hosts{sites.host(), sites.host(), sites.host(), sites.host()};
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
