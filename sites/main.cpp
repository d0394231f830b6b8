// qelvora-sites: serves the time page and the three answer sites on one port, by default on
// loopback only. SIGINT and SIGTERM stop it cleanly (exit code 0).
#include <getopt.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sites/corpus.h"
#include "sites/knowledge/cache.h"
#include "sites/knowledge/sources.h"
#include "sites/server.h"
#include "sites/sites.h"

namespace {

namespace fs = std::filesystem;

void usage(std::FILE* to) {
  std::fputs(
      "usage: qelvora-sites [--listen ADDR] [--port N] [--data DIR] [--log] [--cache DIR]\n"
      "                     [--data-root DIR] [--no-build]\n"
      "       qelvora-sites --build-index [--verbose] [--cache DIR] [--data-root DIR]\n"
      "       qelvora-sites --help | --version\n"
      "Serves the time page and the three reference answer sites of Qelvora, answering from its\n"
      "corpus and from the Chinese knowledge installed on this system.\n"
      "  --listen ADDR    address to listen on (default 127.0.0.1)\n"
      "  --port N         port (default 8750); 0 picks a free port and prints it as the first "
      "line\n"
      "  --data DIR       corpus folder (default: ../share/qelvora/sites beside the program)\n"
      "  --log            write each request to standard error\n"
      "  --cache DIR      where the search index is kept (default: $CACHE_DIRECTORY, else\n"
      "                   $XDG_CACHE_HOME/qelvora, else ~/.cache/qelvora)\n"
      "  --data-root DIR  read the installed data below DIR instead of / \n"
      "  --build-index    build the index now, with a line per data source, and exit\n"
      "  --no-build       never build the index here; take it up once --build-index has built it\n"
      "  --verbose        with --build-index: also name every data file that was skipped\n"
      "  --help         show this help and exit\n"
      "  --version      show the version and exit\n"
      "Exit status: 0 when stopped by SIGTERM or SIGINT (or the index was built), 1 when the\n"
      "corpus cannot be read, the address cannot be used or the index cannot be written, 2 on a\n"
      "usage error.\n",
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

namespace knowledge = qelvora::sites::knowledge;

// --build-index: the index built in the foreground, a line per data source on standard output.
int buildIndex(const fs::path& cacheDir, const fs::path& dataRoot, bool verbose) {
  try {
    knowledge::IndexCache(cacheDir).build(
        knowledge::installedSources(dataRoot), [verbose](const std::string& line) {
          if (verbose || line.find(": skipped ") == std::string::npos)
            std::printf("%s\n", line.c_str());
          std::fflush(stdout);
        });
    std::printf("index in %s\n", (cacheDir / "index").c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvora-sites: %s\n", e.what());
    return 1;
  }
}

std::atomic<bool> building{false};

// How often the installed data is looked at again.
constexpr std::chrono::seconds kRecheck{5};

// Keeps the sites answering from an index of the data installed now: at start, and again after
// the data changes. With build, the index is built here on this thread, the corpus answering
// meanwhile; without, it comes from a qelvora-sites --build-index (the service's index unit) and
// is taken up once the cache holds it.
class KnowledgeWatch {
 public:
  KnowledgeWatch(qelvora::sites::Sites& sites, fs::path cacheDir, fs::path dataRoot, bool build)
      : sites_(sites), cache_(std::move(cacheDir)), dataRoot_(std::move(dataRoot)), build_(build) {
    thread_ = std::thread([this] { run(); });
  }
  ~KnowledgeWatch() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;  // from here on no build starts
    }
    wake_.notify_all();
    // A build still running is left where it is (the next one clears it away): the process ends
    // without waiting for it, nor tearing down what it uses.
    if (building) std::_Exit(0);
    thread_.join();
  }

 private:
  void run() {
    std::string inUse, failed;  // manifests of the index in use and of a build that failed
    std::unique_lock lock(mutex_);
    while (!stop_) {
      lock.unlock();
      const auto sources = knowledge::installedSources(dataRoot_);
      const std::string manifest = knowledge::manifestOf(sources);
      if (manifest != inUse) {
        if (auto index = cache_.openCurrent(manifest)) {
          sites_.setKnowledge(*index);
          inUse = manifest;
        } else if (build_ && manifest != failed) {
          {
            std::lock_guard guard(mutex_);
            if (stop_) break;
            building = true;
          }
          try {
            sites_.setKnowledge(*cache_.build(sources, [](const std::string& line) {
              std::fprintf(stderr, "qelvora-sites: %s\n", line.c_str());
            }));
            inUse = manifest;
            // The build's documents are gone; give their memory back rather than keep it.
            malloc_trim(0);
          } catch (const std::exception& e) {
            std::fprintf(stderr, "qelvora-sites: %s; answering from the corpus\n", e.what());
            failed = manifest;  // tried again once the data changes
          }
          building = false;
        }
      }
      lock.lock();
      wake_.wait_for(lock, kRecheck, [this] { return stop_; });
    }
  }

  qelvora::sites::Sites& sites_;
  const knowledge::IndexCache cache_;
  const fs::path dataRoot_;
  const bool build_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  qelvora::sites::ServerSettings settings;
  fs::path dataDir;
  fs::path cacheDir = knowledge::defaultCacheDir();
  fs::path dataRoot = "/";
  bool buildOnly = false, verbose = false, noBuild = false;
  static const option kOptions[] = {{"listen", required_argument, nullptr, 'l'},
                                    {"cache", required_argument, nullptr, 'c'},
                                    {"data-root", required_argument, nullptr, 'r'},
                                    {"build-index", no_argument, nullptr, 'b'},
                                    {"no-build", no_argument, nullptr, 'n'},
                                    {"verbose", no_argument, nullptr, 'v'},
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
      case 'c':
        cacheDir = optarg;
        break;
      case 'r':
        dataRoot = optarg;
        break;
      case 'b':
        buildOnly = true;
        break;
      case 'n':
        noBuild = true;
        break;
      case 'v':
        verbose = true;
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
  if (buildOnly) return buildIndex(cacheDir, dataRoot, verbose);

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
    sites = std::make_unique<qelvora::sites::Sites>(
        qelvora::sites::loadCorpus(dataDir), knowledge::Synonyms::load(dataDir / "synonyms.txt"));
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

  std::unique_ptr<KnowledgeWatch> watch;
  if (cacheDir.empty())
    std::fprintf(stderr, "qelvora-sites: no cache folder (no HOME); answering from the corpus\n");
  else
    watch = std::make_unique<KnowledgeWatch>(*sites, cacheDir, dataRoot, !noBuild);

  int received = 0;
  sigwait(&stopSignals, &received);
  server.reset();
  watch.reset();
  return 0;
}
