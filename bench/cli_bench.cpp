// Wall time of one qelvora-ask --instant run, process start to exit (the goal: under 200 ms),
// for a corpus question of each answer source and for a built-in answer. qelvora-sites serves
// the sites on a free loopback port; the answer goes to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/sites_process.h"

namespace {

std::string host;

int ask(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> argv{const_cast<char*>(QELVORA_ASK_PROGRAM)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QELVORA_ASK_PROGRAM, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void askOnce(benchmark::State& state, const char* source, const char* question) {
  const std::string cookies = "/tmp/qelvora_cli_bench_cookies_" + std::to_string(getpid());
  std::vector<std::string> args = {"--instant", "--time-host",    host,    "--source1-host",
                                   host,        "--source2-host", host,    "--source3-host",
                                   host,        "--cookie-file",  cookies, "--source",
                                   source,      question};
  for (auto _ : state) {
    if (ask(args) != 0) {
      state.SkipWithError("qelvora-ask failed");
      break;
    }
  }
  unlink(cookies.c_str());
}

BENCHMARK_CAPTURE(askOnce, source1, "1", "天空为什么是蓝色的")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(askOnce, source2, "2", "彩虹是怎样形成的")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(askOnce, source3, "3", "电脑上用什么看图软件好")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(askOnce, builtin, "1", "男人是什么")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qelvora::testing::SitesProcess sites(QELVORA_SITES_PROGRAM);
  if (!sites.running()) return 1;
  host = sites.host();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
