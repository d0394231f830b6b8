// Throughput and peak memory of fetchPage for one large body served on loopback.
//
//   fetch_bench [--size MiB] [--rounds N]   serve in-process and fetch N times (default 32 MiB, 5)
//   fetch_bench --serve [--size MiB]        only serve; prints "PORT <n>", runs until killed
//   fetch_bench --url URL [--rounds N]      fetch URL from a server running elsewhere
//
// Peak memory: the kernel's high-water mark of resident memory (VmHWM in /proc/self/status), reset
// before each fetch through /proc/self/clear_refs, minus the resident size just before the fetch.
// It counts everything the fetch holds at its worst moment: curl's buffers, the body as received,
// the hand-over stream and the returned block.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "web/cookie_store.h"
#include "web/fetch.h"

namespace {

long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

bool resetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// Serves the same body to every request, one thread per connection.
class BodyServer {
 public:
  explicit BodyServer(std::size_t size) : body_(size, 'q') {
    for (std::size_t i = 0; i < size; i += 4096)
      body_[i] = static_cast<char>('a' + (i / 4096) % 26);
    head_ = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
            std::to_string(size) + "\r\nConnection: close\r\n\r\n";
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([this] { acceptLoop(); }).detach();
  }
  int port() const { return port_; }

 private:
  void acceptLoop() {
    for (;;) {
      int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::thread([this, client] { serve(client); }).detach();
    }
  }
  void serve(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    if (sendAll(client, head_)) sendAll(client, body_);
    shutdown(client, SHUT_WR);
    // Let the client read to the end before the socket goes away.
    while (recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    close(client);
  }
  static bool sendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::string body_, head_;
  int listener_ = -1;
  int port_ = 0;
};

int fetchRounds(const std::string& url, int rounds, std::size_t expectedSize) {
  // Warm-up: connection set-up paths, the cookie store, allocator pools.
  qelvora::Bytes first = qelvora::fetchPage(url);
  if (first.empty() || (expectedSize && first.size() != expectedSize)) {
    std::cerr << "fetch failed: got " << first.size() << " bytes\n";
    return 1;
  }
  std::size_t size = first.size();
  first = qelvora::Bytes();
  std::vector<double> seconds;
  long worstPeakKb = 0;
  bool peakReset = true;
  for (int i = 0; i < rounds; ++i) {
    peakReset = resetPeak() && peakReset;
    long before = statusKb("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    qelvora::Bytes body = qelvora::fetchPage(url);
    auto end = std::chrono::steady_clock::now();
    long peak = statusKb("VmHWM:") - before;
    if (body.size() != size) {
      std::cerr << "round " << i << " got " << body.size() << " bytes\n";
      return 1;
    }
    seconds.push_back(std::chrono::duration<double>(end - start).count());
    worstPeakKb = std::max(worstPeakKb, peak);
  }
  std::sort(seconds.begin(), seconds.end());
  double median = seconds[seconds.size() / 2];
  double mb = static_cast<double>(size) / 1e6;
  double peakMiB = static_cast<double>(worstPeakKb) / 1024.0;
  std::printf("fetchPage: %.1f MiB body, %d rounds, median %.1f ms, %.1f MB/s\n",
              static_cast<double>(size) / (1 << 20), rounds, median * 1e3, mb / median);
  std::printf("fetchPage peak memory: +%.1f MiB over resident size (%.2fx the body)%s\n", peakMiB,
              peakMiB / (static_cast<double>(size) / (1 << 20)),
              peakReset ? "" : " [VmHWM could not be reset: whole-run peak]");
  std::printf("THROUGHPUT_MBPS %.1f\n", mb / median);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t sizeMiB = 32;
  int rounds = 5;
  bool serveOnly = false;
  std::string url;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--serve")
      serveOnly = true;
    else if (arg == "--size" && i + 1 < argc)
      sizeMiB = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--rounds" && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--url" && i + 1 < argc)
      url = argv[++i];
    else {
      std::cerr << "usage: fetch_bench [--serve] [--size MiB] [--rounds N] [--url URL]\n";
      return 2;
    }
  }
  // The benchmark's cookies never go to the user's own file.
  const char* tmp = std::getenv("TMPDIR");
  qelvora::setCookieFilePath(std::string(tmp && *tmp ? tmp : "/tmp") + "/fetch_bench_cookies_" +
                             std::to_string(getpid()) + ".txt");
  if (!url.empty()) return fetchRounds(url, rounds, 0);

  BodyServer server(sizeMiB << 20);
  if (serveOnly) {
    std::printf("PORT %d\n", server.port());
    std::fflush(stdout);
    for (;;) pause();
  }
  return fetchRounds("http://127.0.0.1:" + std::to_string(server.port()) + "/body", rounds,
                     sizeMiB << 20);
}
