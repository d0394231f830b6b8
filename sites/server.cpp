#include "sites/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

namespace qelvora::sites {

namespace {

using Clock = std::chrono::steady_clock;

struct ConnectionState;

}  // namespace

// Besides the routes, the connections that are still reading a request head, oldest first. One
// client can open connections as fast as it likes and keep each alive with a byte now and then;
// so a head must be whole within headSeconds of its start, and when the connections come near
// the limit the oldest unfinished head gives way to the newcomer. A normal request sends its head
// at once and never waits in this list for long, so it is never the one to go.
struct Server::Handler {
  Handler(const Sites& s, bool logging, unsigned room, Clock::duration head)
      : sites(s), log(logging), roomLimit(room), headTime(head) {}

  const Sites& sites;
  bool log;
  unsigned roomLimit;  // more open connections than this: the oldest head goes
  Clock::duration headTime;

  std::mutex mutex;
  std::list<ConnectionState*> heads;
  unsigned open = 0;
  bool stopping = false;
  std::condition_variable stop;
  std::thread reaper;
};

namespace {

// What one connection carries from request to request: the target of the request being read,
// exactly as it came (the library hands the handler a decoded path only), and this end's address.
struct ConnectionState {
  std::string target;
  std::string localAddress;
  bool headersSeen = false;  // the handler has had its first call for this request
  // Under the handler's mutex: the socket, and the place in its list of heads while in it.
  int fd = -1;
  bool inHeads = false;
  Clock::time_point headSince;
  std::list<ConnectionState*>::iterator at;
};

void startHead(Server::Handler& h, ConnectionState& c) {
  if (c.inHeads) return;
  c.headSince = Clock::now();
  c.at = h.heads.insert(h.heads.end(), &c);
  c.inHeads = true;
}

void endHead(Server::Handler& h, ConnectionState& c) {
  if (!c.inHeads) return;
  h.heads.erase(c.at);
  c.inHeads = false;
}

// Ends the connection of the oldest head. The library learns of it as of a client that went
// away. Its socket is still open: the library tells of a closed connection before it closes the
// socket, and that news waits for this mutex.
void dropOldestHead(Server::Handler& h) {
  ConnectionState* oldest = h.heads.front();
  endHead(h, *oldest);
  if (oldest->fd >= 0) shutdown(oldest->fd, SHUT_RDWR);
}

// Once a second: heads older than their time go.
void reapHeads(Server::Handler& h) {
  std::unique_lock lock(h.mutex);
  while (!h.stop.wait_for(lock, std::chrono::seconds(1), [&] { return h.stopping; })) {
    const Clock::time_point due = Clock::now() - h.headTime;
    while (!h.heads.empty() && h.heads.front()->headSince < due) dropOldestHead(h);
  }
}

std::string addressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  int port = 0;
  if (address.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &a6.sin6_addr, text, sizeof text);
    port = ntohs(a6.sin6_port);
    return "[" + std::string(text) + "]:" + std::to_string(port);
  }
  const auto& a4 = reinterpret_cast<const sockaddr_in&>(address);
  inet_ntop(AF_INET, &a4.sin_addr, text, sizeof text);
  port = ntohs(a4.sin_port);
  return std::string(text) + ":" + std::to_string(port);
}

std::string localAddressOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return addressText(address);
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
  Server::Handler& h = *static_cast<Server::Handler*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    auto* state = static_cast<ConnectionState*>(*socketContext);
    std::lock_guard lock(h.mutex);
    if (h.open > 0) --h.open;
    if (state) endHead(h, *state);
    delete state;
    *socketContext = nullptr;
    return;
  }
  std::unique_ptr<ConnectionState> state;
  try {
    state = std::make_unique<ConnectionState>();
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) {
      state->fd = info->connect_fd;
      state->localAddress = localAddressOf(info->connect_fd);
    }
  } catch (const std::bad_alloc&) {
    state.reset();  // the handler then refuses the connection's requests
  }
  std::lock_guard lock(h.mutex);
  ++h.open;
  if (state) startHead(h, *state);
  if (h.open > h.roomLimit && !h.heads.empty() && h.heads.front() != state.get()) dropOldestHead(h);
  *socketContext = state.release();
}

// A request has been answered (or has failed): the connection waits for its next head.
void onCompleted(void* cls, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode) {
  auto* state = static_cast<ConnectionState*>(*requestContext);
  if (!state) return;
  Server::Handler& h = *static_cast<Server::Handler*>(cls);
  std::lock_guard lock(h.mutex);
  startHead(h, *state);
}

// Called with each request's target before the library decodes it; the returned state becomes the
// request's context in the handler.
void* onTarget(void*, const char* target, MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  auto* state = info ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
  if (!state) return nullptr;
  try {
    state->target = target;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  state->headersSeen = false;
  return state;
}

MHD_Response* responseFor(Reply& reply) {
  if (reply.sharedBody) {
    // Pictures and archives live as long as the Sites object, which outlives the server.
    return MHD_create_response_from_buffer(reply.sharedBody->size(),
                                           const_cast<char*>(reply.sharedBody->data()),
                                           MHD_RESPMEM_PERSISTENT);
  }
  auto body = std::make_unique<std::string>(std::move(reply.body));
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body->size(), body->data(), [](void* owned) { delete static_cast<std::string*>(owned); },
      body.get());
  if (response) body.release();
  return response;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char*, const char* method,
                     const char*, const char*, size_t* uploadSize, void** requestContext) {
  Server::Handler& handler = *static_cast<Server::Handler*>(cls);
  auto* state = static_cast<ConnectionState*>(*requestContext);
  if (!state) return MHD_NO;
  if (!state->headersSeen) {
    state->headersSeen = true;
    std::lock_guard lock(handler.mutex);
    endHead(handler, *state);
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;  // no route takes a body: read it and drop it
    return MHD_YES;
  }
  try {
    const char* host =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    Reply reply =
        handler.sites.respond({method, state->target, host ? host : "", state->localAddress});
    const int status = reply.status;
    MHD_Response* response = responseFor(reply);
    if (!response) return MHD_NO;
    if (!reply.contentType.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    for (const auto& [name, value] : reply.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    if (handler.log)
      std::fprintf(stderr, "%s %s -> %d\n", printableTarget(method).c_str(),
                   printableTarget(state->target).c_str(), status);
    return queued;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelvora-sites: request failed: %s\n", e.what());
    return MHD_NO;  // closes the connection
  }
}

// A bound, listening, non-blocking socket for address and port; throws with the reason.
int listenOn(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = address + " port " + std::to_string(port);
  const int lookup = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0)
    throw std::runtime_error("cannot listen on " + where + ": " + gai_strerror(lookup));
  std::string why = "no address";
  int fd = -1;
  for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      why = std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) throw std::runtime_error("cannot listen on " + where + ": " + why);
  return fd;
}

}  // namespace

Server::Server(const Sites& sites, const ServerSettings& settings)
    : handler_(std::make_unique<Handler>(
          sites, settings.log,
          settings.connectionLimit - std::max(settings.connectionLimit / 8, 1u),
          std::chrono::seconds(settings.headSeconds))) {
  const int fd = listenOn(settings.address, settings.port);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);

  // Each thread waits on its own epoll set and takes its share of the connections; a search page
  // costs tens of microseconds, so one thread per processor keeps them all busy under load.
  const unsigned threads =
      settings.threads ? settings.threads : std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  // The inter-thread channel wakes the listener threads at once when the server stops; without it
  // they notice only at their next time-out. A request head is small: 16 KiB of memory per
  // connection holds any the program sends and keeps thousands of connections cheap.
  const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC |
                         (settings.log ? MHD_USE_ERROR_LOG : 0);
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &onRequest, handler_.get(), MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, settings.connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
      settings.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
      MHD_OPTION_NOTIFY_CONNECTION, &onConnection, handler_.get(), MHD_OPTION_NOTIFY_COMPLETED,
      &onCompleted, handler_.get(), MHD_OPTION_URI_LOG_CALLBACK, &onTarget, nullptr,
      MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_END);
  if (!daemon_) {
    close(fd);
    throw std::runtime_error("cannot start serving on " + settings.address + " port " +
                             std::to_string(port_));
  }
  handler_->reaper = std::thread(reapHeads, std::ref(*handler_));
}

Server::~Server() {
  {
    std::lock_guard lock(handler_->mutex);
    handler_->stopping = true;
  }
  handler_->stop.notify_all();
  handler_->reaper.join();
  MHD_stop_daemon(daemon_);
}

}  // namespace qelvora::sites
