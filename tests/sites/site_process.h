// Starts the real qelvora-sites binary for a test and talks to it over loopback.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qelvora::testing {

struct Page {
  int status = 0;  // 0: no answer at all
  std::string body;
  httplib::Headers headers;
};

// One run of qelvora-sites (this build's, or the program given) with the given options. Its stdout
// and stderr are read through pipes.
class SiteProcess {
 public:
  explicit SiteProcess(std::vector<std::string> args, std::string program = QELVORA_SITES_BIN) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      // The server goes with the test, even when the test is killed or dies before its clean-up.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]);
      ::close(err[0]);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  SiteProcess(const SiteProcess&) = delete;
  SiteProcess& operator=(const SiteProcess&) = delete;
  ~SiteProcess() {
    if (pid_ > 0 && !exited_) stop(SIGTERM);
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  // The first line of stdout: the port when started with --port 0. Empty if the process ended
  // first (or printed nothing within a generous guard time, so that a hang fails the test).
  std::string firstLine() {
    std::string line;
    char c;
    while (true) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 60000) <= 0) break;
      if (::read(out_, &c, 1) != 1 || c == '\n') break;
      line.push_back(c);
    }
    return line;
  }

  // Sends the signal and waits; the exit code, or 128 + signal when killed by one.
  int stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    return wait();
  }
  int wait() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // All of stderr (call after the process has ended).
  std::string errorOutput() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(err_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
};

// GET of a target exactly as written (no re-encoding), optionally with a Host header of our own.
inline Page fetch(int port, const std::string& target, const std::string& host = {}) {
  httplib::Client client("127.0.0.1", port);
  client.set_url_encode(false);
  httplib::Headers headers;
  if (!host.empty()) headers.emplace("Host", host);
  auto res = client.Get(target, headers);
  if (!res) return {};
  return {res->status, res->body, res->headers};
}

}  // namespace qelvora::testing
