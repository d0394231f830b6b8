// qelvora-sites: serves the time page and the three answer sites on one port, by default on
// loopback only. SIGINT and SIGTERM stop it cleanly (exit code 0).
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "sites/corpus.h"
#include "sites/server.h"
#include "sites/sites.h"

namespace {

namespace fs = std::filesystem;

void usage(std::FILE* to) {
  std::fputs(
      "usage: qelvora-sites [--listen ADDR] [--port N] [--data DIR] [--log]\n"
      "       qelvora-sites --help | --version\n"
      "Serves the time page and the three reference answer sites of Qelvora.\n"
      "  --listen ADDR  address to listen on (default 127.0.0.1)\n"
      "  --port N       port (default 8750); 0 picks a free port and prints it as the first line\n"
      "  --data DIR     corpus folder (default: ../share/qelvora/sites beside the program)\n"
      "  --log          write each request to standard error\n"
      "  --help         show this help and exit\n"
      "  --version      show the version and exit\n"
      "Exit status: 0 when stopped by SIGTERM or SIGINT, 1 when the corpus cannot be read or the\n"
      "address cannot be used, 2 on a usage error.\n",
      to);
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "qelvora-sites: %s\n", message.c_str());
  usage(stderr);
  return 2;
}

// The corpus folder where the installed layout puts it, relative to the running program; the
// build tree mirrors that layout beside its binary.
fs::path defaultDataDir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return (exe.parent_path() / QELVORA_SITES_DATA_FROM_BIN).lexically_normal();
}

bool parsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(text);
  return port <= 65535;
}

// Idle clients each hold a descriptor: raise the soft limit as far as the hard one allows and give
// the number of connections that fits below it, so that accepting never runs out of descriptors.
unsigned raiseDescriptorLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 512;
  const rlim_t wanted = std::min<rlim_t>(files.rlim_max, 65536);
  if (files.rlim_cur < wanted) {
    files.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
  }
  const rlim_t spare = 64;  // the corpus files, the listener, the library's own
  if (files.rlim_cur <= spare * 2) return 16;
  return static_cast<unsigned>(std::min<rlim_t>(files.rlim_cur - spare, 1u << 20));
}

}  // namespace

int main(int argc, char** argv) {
  qelvora::sites::ServerSettings settings;
  fs::path dataDir;
  static const option kOptions[] = {{"listen", required_argument, nullptr, 'l'},
                                    {"port", required_argument, nullptr, 'p'},
                                    {"data", required_argument, nullptr, 'd'},
                                    {"log", no_argument, nullptr, 'L'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, then the usage
  int option;
  while ((option = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    switch (option) {
      case 'l':
        settings.address = optarg;
        break;
      case 'p':
        if (!parsePort(optarg, settings.port))
          return usageError("bad port \"" + std::string(optarg) + "\"");
        break;
      case 'd':
        dataDir = optarg;
        break;
      case 'L':
        settings.log = true;
        break;
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        std::printf("qelvora-sites %s\n", QELVORA_VERSION);
        return 0;
      case ':':
        return usageError("option \"" + std::string(argv[optind - 1]) + "\" needs a value");
      default:
        return usageError("unknown option \"" + std::string(argv[optind - 1]) + "\"");
    }
  }
  if (optind < argc) return usageError("unexpected argument \"" + std::string(argv[optind]) + "\"");

  if (dataDir.empty()) {
    dataDir = defaultDataDir();
    std::error_code ec;
    if (dataDir.empty() || !fs::is_directory(dataDir, ec)) {
      std::fprintf(stderr, "qelvora-sites: no corpus folder at %s; give one with --data DIR\n",
                   dataDir.empty() ? "the program's own location" : dataDir.c_str());
      return 1;
    }
  }

  // Block the stop signals before any thread starts, so that only the wait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  settings.connectionLimit = std::min(settings.connectionLimit, raiseDescriptorLimit());
  std::unique_ptr<qelvora::sites::Sites> sites;
  std::unique_ptr<qelvora::sites::Server> server;
  try {
    sites = std::make_unique<qelvora::sites::Sites>(qelvora::sites::loadCorpus(dataDir));
    server = std::make_unique<qelvora::sites::Server>(*sites, settings);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvora-sites: %s\n", e.what());
    return 1;
  }

  if (settings.port == 0) {
    std::printf("%d\n", server->port());
    std::fflush(stdout);
  }
  const bool v6 = settings.address.find(':') != std::string::npos;
  std::fprintf(stderr, "qelvora-sites: serving %s on http://%s%s%s:%d/\n", dataDir.c_str(),
               v6 ? "[" : "", settings.address.c_str(), v6 ? "]" : "", server->port());

  int received = 0;
  sigwait(&stopSignals, &received);
  server.reset();
  return 0;
}
