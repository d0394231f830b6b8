#include "sites/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

namespace qelvora::sites {

struct Server::Handler {
  const Sites& sites;
  bool log;
};

namespace {

// What one connection carries from request to request: the target of the request being read,
// exactly as it came (the library hands the handler a decoded path only), and this end's address.
struct ConnectionState {
  std::string target;
  std::string localAddress;
  bool headersSeen = false;  // the handler has had its first call for this request
};

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

void onConnection(void*, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    delete static_cast<ConnectionState*>(*socketContext);
    *socketContext = nullptr;
    return;
  }
  try {
    auto state = std::make_unique<ConnectionState>();
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) state->localAddress = localAddressOf(info->connect_fd);
    *socketContext = state.release();
  } catch (const std::bad_alloc&) {
    *socketContext = nullptr;  // the handler then refuses the connection's requests
  }
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
  const Server::Handler& handler = *static_cast<const Server::Handler*>(cls);
  auto* state = static_cast<ConnectionState*>(*requestContext);
  if (!state) return MHD_NO;
  if (!state->headersSeen) {
    state->headersSeen = true;
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
    : handler_(std::make_unique<Handler>(Handler{sites, settings.log})) {
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
  const unsigned flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | (settings.log ? MHD_USE_ERROR_LOG : 0);
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &onRequest, handler_.get(),
                             MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
                             settings.connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
                             settings.idleSeconds, MHD_OPTION_NOTIFY_CONNECTION, &onConnection,
                             nullptr, MHD_OPTION_URI_LOG_CALLBACK, &onTarget, nullptr,
                             MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_END);
  if (!daemon_) {
    close(fd);
    throw std::runtime_error("cannot start serving on " + settings.address + " port " +
                             std::to_string(port_));
  }
}

Server::~Server() {
  MHD_stop_daemon(daemon_);
}

}  // namespace qelvora::sites
