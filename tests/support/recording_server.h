// A small HTTP server on loopback for the tests of the fetch clients and of what uses them: it
// records every request byte for byte and answers with whatever the test's handler says, including
// hostile behaviour (never answering, closing mid-body, endless bodies).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/fetch.h"

namespace qelvora::testing {

struct RecordedRequest {
  std::string head;  // request line and header lines, each ending in CR LF, without the blank line
  std::string body;

  std::string requestLine() const { return head.substr(0, head.find("\r\n")); }
  // The header lines in the order received (request line excluded).
  std::vector<std::string> headerLines() const {
    std::vector<std::string> lines;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
      std::size_t next = head.find("\r\n", pos + 2);
      lines.push_back(head.substr(pos + 2, next - pos - 2));
      pos = next;
    }
    return lines;
  }
  // Lines whose name (before the colon) equals name, ignoring case.
  std::vector<std::string> linesNamed(const std::string& name) const {
    std::vector<std::string> found;
    for (const std::string& line : headerLines()) {
      auto colon = line.find(':');
      if (colon != name.size()) continue;
      if (strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) found.push_back(line);
    }
    return found;
  }
};

struct Reply {
  std::string raw;              // bytes sent first (status line, headers, maybe a body)
  std::size_t fillerBytes = 0;  // then this many 'x' bytes, in pieces
  bool neverAnswer = false;     // read the request, then keep the connection open silently
};

inline std::string httpReply(const std::string& status, const std::string& headers,
                             const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class RecordingServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  // Listens on 127.0.0.1 at port (0: any free port). ok() tells whether it could.
  explicit RecordingServer(Handler handler, int port = 0) : handler_(std::move(handler)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0) {
      close(listener_);
      listener_ = -1;
      return;
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~RecordingServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : connections_) t.join();
    if (listener_ >= 0) close(listener_);
  }

  bool ok() const { return listener_ >= 0; }
  int port() const { return port_; }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path) const { return "http://" + hostPort() + path; }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void acceptLoop() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      connections_.emplace_back([this, client] { serve(client); });
    }
  }

  // Waits for the socket to be readable; false when the server is stopping.
  bool waitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void serve(int client) {
    std::string data;
    char buffer[65536];
    std::size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      if (!waitReadable(client)) return finish(client);
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return finish(client);
      data.append(buffer, static_cast<std::size_t>(n));
    }
    RecordedRequest request;
    request.head = data.substr(0, headEnd + 2);
    std::size_t bodyLength = 0;
    for (const std::string& line : request.linesNamed("Content-Length"))
      bodyLength = std::stoul(line.substr(line.find(':') + 1));
    request.body = data.substr(headEnd + 4);
    while (request.body.size() < bodyLength) {
      if (!waitReadable(client)) break;
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.body.append(buffer, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    Reply reply = handler_(request);
    if (reply.neverAnswer) {
      while (!stop_) {
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && recv(client, buffer, sizeof buffer, 0) <= 0) break;
      }
      return finish(client);
    }
    if (!sendAll(client, reply.raw.data(), reply.raw.size())) return finish(client);
    std::string filler(65536, 'x');
    for (std::size_t left = reply.fillerBytes; left > 0 && !stop_;) {
      std::size_t n = std::min(left, filler.size());
      if (!sendAll(client, filler.data(), n)) break;
      left -= n;
    }
    finish(client);
  }

  bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
      ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      p += sent;
      n -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  void finish(int client) {
    shutdown(client, SHUT_WR);
    close(client);
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::list<std::thread> connections_;  // touched by the acceptor thread, then by the destructor
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
};

// A loopback port on which nothing listens (bound once, then released).
inline int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Waits until every request thread has ended (an abandoned one ends by itself once its connection
// goes away), then a little more for each thread's own exit: its TLS libraries free their
// per-thread state last, and the leak check at process exit must not catch one half-way. False
// when some thread is still running after half a minute.
inline bool requestThreadsEnd() {
  for (int i = 0; i < 600 && runningRequestThreads() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return runningRequestThreads() == 0;
}

// Request threads are detached and may still be on their way out when the last test returns: the
// test program waits for them before it ends.
class SettleRequestThreads : public ::testing::Environment {
 public:
  void TearDown() override { requestThreadsEnd(); }
};
inline ::testing::Environment* const settleRequestThreads =
    ::testing::AddGlobalTestEnvironment(new SettleRequestThreads);

}  // namespace qelvora::testing
