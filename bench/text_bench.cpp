// Throughput of the text operations on a large GBK answer page: searching for a marker near the
// end, replace-all of a rare and of a frequent pattern, cutting between markers, and the whole
// markup clean-up chain. `text_bench --write-page=FILE` writes the page and exits, so that other
// tools (bench/clean_vs_python.sh) can work on exactly the same bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "base/text.h"
#include "sources/markup.h"

namespace qelvora {
namespace {

constexpr std::size_t kPageSize = 4u << 20;

// The end of the answer sits this far before the end of the page.
const char kEndMarker[] = "<div class=\"answer-end\">";
const char kEndMarkerUpper[] = "<DIV CLASS=\"ANSWER-END\">";
const char kStartMarker[] = "<div class=\"answer-start\">";

class Lcg {
 public:
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }

 private:
  std::uint64_t state_ = 20140305;
};

void appendChinese(std::string& page, Lcg& rng, int characters) {
  for (int i = 0; i < characters; ++i) {
    if (rng.below(16) == 0) {
      // A character from the extended range whose trail byte is an ASCII letter or digit.
      static const char trails[] = "rbpa/Aqz07";
      page += static_cast<char>(0x81 + rng.below(0x20));
      page += trails[rng.below(sizeof trails - 1)];
    } else {
      page += static_cast<char>(0xB0 + rng.below(0x28));
      page += static_cast<char>(0xA1 + rng.below(0x5E));
    }
  }
}

std::string buildPage() {
  static const char* const markup[] = {
      "<p>",
      "</p>",
      "<br>",
      "<br/>",
      "<br />",
      "&nbsp;",
      "<b>",
      "</b>",
      "<a href=\"http://www.example.org/q/1234567.html\" target=\"_blank\">",
      "</A>",
      "</a>",
      "<img src=\"http://img.example.org/pic/2014/03/05.img\">",
      "<span style=\"font-size:12px;\">",
      "</span>",
      "&quot;",
      " server/path ",
      "<td class=\"cell\">",
      "</td>",
      "2014-03-05 08:00",
  };
  Lcg rng;
  std::string page;
  page.reserve(kPageSize + 256);
  page += "<html><head><title>";
  appendChinese(page, rng, 12);
  page += "</title></head><body>";
  page += kStartMarker;
  const std::size_t endAt = kPageSize - 2048;
  while (page.size() < endAt) {
    appendChinese(page, rng, 4 + static_cast<int>(rng.below(40)));
    page += markup[rng.below(sizeof markup / sizeof markup[0])];
    if (rng.below(4) == 0) page += " Some ASCII words, 123 ";
  }
  page += kEndMarker;
  while (page.size() < kPageSize - 16) {
    appendChinese(page, rng, 1);
    page += "<br>";
  }
  page += "</body></html>";
  page.resize(kPageSize, ' ');
  return page;
}

const std::string& page() {
  static const std::string instance = buildPage();
  return instance;
}

void finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(page().size()));
}

void BM_FindMarkerNearEnd(benchmark::State& state) {
  const bool ignoreCase = state.range(0) != 0;
  const char* marker = ignoreCase ? kEndMarkerUpper : kEndMarker;
  for (auto _ : state) benchmark::DoNotOptimize(findText(page(), marker, 1, ignoreCase));
  if (findText(page(), marker, 1, ignoreCase) < 0) state.SkipWithError("marker not found");
  finish(state);
}
BENCHMARK(BM_FindMarkerNearEnd)
    ->ArgName("ignoreCase")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

void BM_ReplaceRare(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(replaceText(page(), "answer-end", "answer-stop"));
  }
  finish(state);
}
BENCHMARK(BM_ReplaceRare)->Unit(benchmark::kMillisecond);

void BM_ReplaceFrequent(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(replaceText(page(), ">", "\r\n"));
  finish(state);
}
BENCHMARK(BM_ReplaceFrequent)->Unit(benchmark::kMillisecond);

void BM_CutBetween(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cutBetween(page(), kStartMarker, kEndMarker));
  if (cutBetween(page(), kStartMarker, kEndMarker).empty()) state.SkipWithError("empty cut");
  finish(state);
}
BENCHMARK(BM_CutBetween)->Unit(benchmark::kMillisecond);

void BM_CleanMarkupChain(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cleanMarkupText(page(), true));
  finish(state);
}
BENCHMARK(BM_CleanMarkupChain)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qelvora

int main(int argc, char** argv) {
  const std::string flag = "--write-page=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], flag.c_str(), flag.size()) == 0) {
      std::ofstream out(argv[i] + flag.size(), std::ios::binary);
      const std::string& page = qelvora::page();
      out.write(page.data(), static_cast<std::streamsize>(page.size()));
      if (!out) {
        std::cerr << "cannot write " << (argv[i] + flag.size()) << "\n";
        return 1;
      }
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
