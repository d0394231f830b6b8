// Runs qelvora-sites as a child process for the length of a test or a benchmark, with its standard
// output and error read through pipes. Started with --port 0, the server prints its port as the
// first line of its standard output.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qelvora::testing {

class SitesProcess {
 public:
  // Starts program with args. The server goes with its parent, also when a test dies before its
  // clean-up. Unless args say otherwise, it reads no installed knowledge and keeps its cache in a
  // scratch folder, so that what it answers is the corpus alone.
  explicit SitesProcess(const std::string& program,
                        std::vector<std::string> args = {"--listen", "127.0.0.1", "--port", "0"});
  ~SitesProcess();
  SitesProcess(const SitesProcess&) = delete;
  SitesProcess& operator=(const SitesProcess&) = delete;

  // The first line of standard output (the port, with --port 0); empty when the process ended
  // first or printed nothing within a minute, so that a hang fails the test instead of stalling.
  std::string firstLine();
  // The port of the first line; 0 when there is none.
  int port();
  std::string host() { return "127.0.0.1:" + std::to_string(port()); }
  bool running() { return pid_ > 0 && port() > 0; }

  // Sends signal and waits; the exit code, or 128 + the signal when one ended it.
  int stop(int signal);
  // Waits for the process to end; its exit code as stop() gives it.
  int wait();
  // Standard error so far; all of it once the process has ended.
  std::string errorOutput();

 private:
  struct Stream {
    std::mutex mutex;
    std::condition_variable grown;
    std::string text;
    bool ended = false;
    std::thread reader;
  };
  static void read(int fd, Stream& stream);

  pid_t pid_ = -1;
  std::string scratch_;  // the server's empty data root and cache
  int exitCode_ = -1;
  Stream out_, err_;
};

// The reference sites of this build on a free port, serving the corpus of this source tree.
std::unique_ptr<SitesProcess> startReferenceSites();

}  // namespace qelvora::testing
