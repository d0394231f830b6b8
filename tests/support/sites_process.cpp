#include "tests/support/sites_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace qelvora::testing {

SitesProcess::SitesProcess(const std::string& program, std::vector<std::string> args) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  char scratch[] = "/tmp/qelvora-sites-test.XXXXXX";
  if (::mkdtemp(scratch)) scratch_ = scratch;
  const auto given = [&args](const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
  };
  if (!scratch_.empty() && !given("--data-root"))
    args.insert(args.begin(), {"--data-root", scratch_});
  if (!scratch_.empty() && !given("--cache"))
    args.insert(args.begin(), {"--cache", scratch_ + "/cache"});
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  // Both outputs are read all along, so the server never blocks on a full pipe.
  out_.reader = std::thread(read, out[0], std::ref(out_));
  err_.reader = std::thread(read, err[0], std::ref(err_));
}

SitesProcess::~SitesProcess() {
  if (pid_ > 0 && exitCode_ < 0) stop(SIGTERM);
  for (Stream* s : {&out_, &err_})
    if (s->reader.joinable()) s->reader.join();
  std::error_code ec;
  if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ec);
}

void SitesProcess::read(int fd, Stream& stream) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    std::lock_guard lock(stream.mutex);
    if (n <= 0) {
      stream.ended = true;
      stream.grown.notify_all();
      break;
    }
    stream.text.append(buf, static_cast<std::size_t>(n));
    stream.grown.notify_all();
  }
  ::close(fd);
}

std::string SitesProcess::firstLine() {
  std::unique_lock lock(out_.mutex);
  out_.grown.wait_for(lock, std::chrono::minutes(1),
                      [this] { return out_.ended || out_.text.find('\n') != std::string::npos; });
  const std::size_t end = out_.text.find('\n');
  return end == std::string::npos ? std::string() : out_.text.substr(0, end);
}

int SitesProcess::port() {
  return std::atoi(firstLine().c_str());
}

int SitesProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  if (exitCode_ < 0) ::kill(pid_, signal);
  return wait();
}

int SitesProcess::wait() {
  if (pid_ <= 0) return -1;
  if (exitCode_ >= 0) return exitCode_;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exitCode_;
}

std::string SitesProcess::errorOutput() {
  // Once the process has ended, its side of the pipe closes and the reader reaches the end.
  if (exitCode_ >= 0 && err_.reader.joinable()) err_.reader.join();
  std::lock_guard lock(err_.mutex);
  return err_.text;
}

std::unique_ptr<SitesProcess> startReferenceSites() {
  return std::make_unique<SitesProcess>(
      QELVORA_SITES_PROGRAM,
      std::vector<std::string>{"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
}

}  // namespace qelvora::testing
