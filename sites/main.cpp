// qelvora-sites: serves the time page and the three answer sites on one port, by default on
// loopback only. SIGINT and SIGTERM stop it cleanly (exit code 0).
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "sites/corpus.h"
#include "sites/server.h"

namespace {

namespace fs = std::filesystem;

void usage(std::FILE* to) {
  std::fputs(
      "usage: qelvora-sites [--listen ADDR] [--port N] [--data DIR] [--log]\n"
      "  --listen ADDR  address to listen on (default 127.0.0.1)\n"
      "  --port N       port (default 8750); 0 picks a free port and prints it as the first line\n"
      "  --data DIR     corpus folder (default: the installed or source-tree data folder)\n"
      "  --log          write each request to stderr\n",
      to);
}

// The installed data folder next to the installed binary, else the source tree's.
fs::path defaultDataDir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path prefix = exe.parent_path().parent_path();
    const fs::path installed = prefix / QELVORA_SITES_INSTALLED_DATA_DIR;
    if (exe.parent_path() == prefix / QELVORA_SITES_INSTALLED_BIN_DIR &&
        fs::is_directory(installed, ec))
      return installed;
  }
  return QELVORA_SITES_SOURCE_DATA_DIR;
}

bool parsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(text);
  return port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listenAddress = "127.0.0.1";
  int port = 8750;
  fs::path dataDir;
  bool log = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--listen" && hasValue) {
      listenAddress = argv[++i];
    } else if (arg == "--port" && hasValue) {
      if (!parsePort(argv[++i], port)) {
        std::fprintf(stderr, "qelvora-sites: bad port \"%s\"\n", argv[i]);
        return 2;
      }
    } else if (arg == "--data" && hasValue) {
      dataDir = argv[++i];
    } else if (arg == "--log") {
      log = true;
    } else {
      std::fprintf(stderr, "qelvora-sites: unknown or incomplete option \"%s\"\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (dataDir.empty()) dataDir = defaultDataDir();

  // Block the stop signals before any thread starts, so that only the waiter below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<qelvora::sites::Sites> sites;
  try {
    sites = std::make_unique<qelvora::sites::Sites>(qelvora::sites::loadCorpus(dataDir));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvora-sites: %s\n", e.what());
    return 1;
  }

  httplib::Server server;
  sites->install(server, log);
  server.set_payload_max_length(64 * 1024);

  int bound = port;
  if (port == 0) {
    bound = server.bind_to_any_port(listenAddress);
  } else if (!server.bind_to_port(listenAddress, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    std::fprintf(stderr, "qelvora-sites: cannot listen on %s port %d\n", listenAddress.c_str(),
                 port);
    return 1;
  }
  if (port == 0) {
    std::printf("%d\n", bound);
    std::fflush(stdout);
  }
  const bool v6 = listenAddress.find(':') != std::string::npos;
  std::fprintf(stderr, "qelvora-sites: serving %s on http://%s%s%s:%d/\n", dataDir.c_str(),
               v6 ? "[" : "", listenAddress.c_str(), v6 ? "]" : "", bound);

  std::atomic<bool> stopping = false;
  std::thread waiter([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    stopping = true;
    server.stop();
  });
  const bool ok = server.listen_after_bind();
  if (!stopping) kill(getpid(), SIGTERM);  // wake the waiter: the server ended on its own
  waiter.join();
  return ok || stopping ? 0 : 1;
}
