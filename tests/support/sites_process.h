// Runs qelvora-sites as a child process on a free loopback port for the length of a test or a
// benchmark. The server prints its port as the first line of its standard output.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qelvora::testing {

class SitesProcess {
 public:
  explicit SitesProcess(const std::string& program,
                        std::vector<std::string> args = {"--listen", "127.0.0.1", "--port", "0"}) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // The server goes with its parent, also when a test dies before its clean-up.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    // Read the first line: the port.
    std::string line;
    char ch;
    while (::read(out[0], &ch, 1) == 1 && ch != '\n') line += ch;
    port_ = std::atoi(line.c_str());
    // Whatever the server prints later is read and dropped, so it never blocks on a full pipe.
    drain_ = std::thread([fd = out[0]] {
      char buf[4096];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
      ::close(fd);
    });
  }
  ~SitesProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (drain_.joinable()) drain_.join();
  }
  SitesProcess(const SitesProcess&) = delete;
  SitesProcess& operator=(const SitesProcess&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0; }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  std::thread drain_;
  int port_ = 0;
};

#ifdef QELVORA_SITES_DATA_DIR
// The reference sites of this build on a free port, serving the corpus of this source tree.
inline std::unique_ptr<SitesProcess> startReferenceSites() {
  return std::make_unique<SitesProcess>(
      QELVORA_SITES_PROGRAM,
      std::vector<std::string>{"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
}
#endif

}  // namespace qelvora::testing
