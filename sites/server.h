// The HTTP side of qelvora-sites: event-driven listener threads (libmicrohttpd on epoll) that read
// requests as they come and hand each whole request to the routes, so that a client that sends
// slowly or not at all holds only its own connection.
#pragma once

#include <memory>
#include <string>

#include "sites/sites.h"

struct MHD_Daemon;

namespace qelvora::sites {

struct ServerSettings {
  std::string address = "127.0.0.1";  // a numeric address or a host name
  int port = 8750;                    // 0: a free port
  bool log = false;                   // one line per request on stderr
  unsigned connectionLimit = 4096;    // more wait until some close; near it the oldest
                                      // unfinished request head is closed for a newcomer
  unsigned idleSeconds = 10;          // a connection silent this long is closed
  unsigned headSeconds = 10;          // a request head not whole this long after it began too
  unsigned threads = 0;               // listener threads; 0: one per processor, at most 4
};

class Server {
 public:
  // Listens and starts serving; throws std::runtime_error saying why it cannot. The Sites object
  // must outlive the server.
  Server(const Sites& sites, const ServerSettings& settings);
  // Stops listening, closes every connection and waits for the listener threads.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const { return port_; }

  struct Handler;  // what the library's callbacks share; defined with them

 private:
  std::unique_ptr<Handler> handler_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
};

}  // namespace qelvora::sites
