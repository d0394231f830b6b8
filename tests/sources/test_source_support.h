// Test helpers for the answer sources: a thread-safe in-memory ControlAccess and a tiny HTTP
// server on loopback that records every request target and answers from a callback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/controls.h"

namespace qelvora::testing {

// Controls as plain values; every call is served on the calling thread.
class MemoryControls : public ControlAccess {
 public:
  PropertyValue readProperty(std::string_view control, Property property) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key(control, property));
    return it == values_.end() ? PropertyValue(Text()) : it->second;
  }
  void writeProperty(std::string_view control, Property property, PropertyValue value) override {
    std::lock_guard lock(mutex_);
    values_[key(control, property)] = std::move(value);
  }
  void appendText(std::string_view control, std::string_view text) override {
    std::lock_guard lock(mutex_);
    auto& v = values_[key(control, Property::Content)];
    v = asText(v) + std::string(text);
  }
  void setFocus(std::string_view) override {}
  void openPictureWindow() override {}

 private:
  static std::string key(std::string_view control, Property p) {
    return std::string(control) + "#" + std::to_string(static_cast<int>(p));
  }
  std::mutex mutex_;
  std::map<std::string, PropertyValue> values_;
};

struct Reply {
  std::string body;
  int status = 200;
};

// Serves GET requests on 127.0.0.1 at an ephemeral port, one connection at a time.
class RecordingServer {
 public:
  using Handler = std::function<Reply(const std::string& target)>;

  explicit RecordingServer(Handler handler) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RecordingServer() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  void serve() {
    while (!stopping_) {
      int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      timeval limit{2, 0};  // a client that never closes must not hold the server forever
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      // Request line: METHOD SP target SP version
      std::string target;
      auto a = request.find(' ');
      auto b = a == std::string::npos ? a : request.find(' ', a + 1);
      if (b != std::string::npos) target = request.substr(a + 1, b - a - 1);
      {
        std::lock_guard lock(mutex_);
        targets_.push_back(target);
      }
      Reply reply = handler_(target);
      std::string head =
          "HTTP/1.1 " + std::to_string(reply.status) +
          " OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(reply.body.size()) +
          "\r\nConnection: close\r\n\r\n";
      std::string out = head + reply.body;
      size_t sent = 0;
      while (sent < out.size()) {
        ssize_t n = ::send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::shutdown(client, SHUT_WR);
      while (::recv(client, buf, sizeof buf, 0) > 0) {
      }
      ::close(client);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  std::thread thread_;
};

}  // namespace qelvora::testing
