// The HTTP transport of rhl serve: Boost.Asio for the sockets and Boost.Beast's
// HTTP/1.1 parser for request heads, both header-only from Debian's
// libboost-dev.
//
// Why these: a map server's clients hold connections open (keep-alive,
// browsers' spare connections) and some send slowly, on purpose or not; the
// server must never give a thread to a connection that is only waiting. Asio
// runs every socket on one I/O thread, event-driven, with a deadline of our
// own per connection, so that the limits below are exact and a stop is
// immediate. Beast's parser is a well-kept HTTP/1.1 parser with a limit on
// the head's size that hands over the body's framing without reading the
// body. (cpp-httplib gives each connection a thread for its whole life and
// resets its read timeout at every byte; libmicrohttpd's timeout, too, is
// one of inactivity, and beyond its connection limit it closes without an
// answer.)
//
// One I/O thread (the one that calls Run) runs every socket and never a
// handler; connections are in http_connection.cpp. Handlers run on a pool
// (http_pool.h) of at most HttpLimits::maxHandlers threads, made as they are
// needed, so that handlers blocked on slow views leave the rest answered
// while a thread is free; a connection has at most one request with the
// handlers, so the pool's queue holds at most one request per open
// connection, and the connection cap bounds it. Answers are the handler's
// status with the whole body: Range is not honoured.
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http_transport.h"

namespace rhl {
namespace web {
namespace transport {
namespace {

// Files the process keeps for itself beyond its connections: images, the
// module, logs, worker pipes.
constexpr size_t kReservedFiles = 128;
// Connections beyond the cap being answered 503 at once; more are closed
// without an answer.
constexpr size_t kMaxRefusing = 64;

// Raises the soft limit of open files as far as the hard one allows.
rlim_t RaiseFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 1 << 20 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return raised.rlim_cur;
  }
  return limit.rlim_cur;
}

// A listening socket on `host`, `port`, or -1 with the reason in words.
int ListeningSocket(const std::string &host, int port, std::string *why) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *why = "'" + host + "' is not an address (" + gai_strerror(rc) + ")";
    return -1;
  }
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  int error = errno;
  if (fd >= 0) {
    // Address reuse for a quick restart, but not port sharing: a second
    // server on a port in use must fail, not take half its connections.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    if (error == EADDRINUSE)
      *why = "port " + std::to_string(port) + " is in use (--port 0 picks a free one)";
    else if (error == EADDRNOTAVAIL)
      *why = "'" + host + "' is not an address of this machine";
    else
      *why = strerror(error);
  }
  return fd;
}

}  // namespace

std::string Seconds(int ms) {
  char text[32];
  snprintf(text, sizeof text, ms % 1000 == 0 ? "%.0f s" : "%.1f s", ms / 1000.0);
  return text;
}

void Log(const std::string &who, int status, const std::string &reason) {
  fprintf(stderr, "rhl serve: %s: %d %s\n", who.c_str(), status, reason.c_str());
}

Server::~Server() {
  stopping = true;
  pool.Close();
  for (Connection *connection : std::list<Connection *>(open)) Close(connection);
}

void Server::Accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (stopping) return;
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of files (or another passing failure): the connections already
      // open go on; accepting resumes shortly.
      if (ec == asio::error::no_descriptors || ec.value() == ENFILE)
        Overflowed("a client", "this process may open no more files");
      acceptPause.expires_after(std::chrono::milliseconds(50));
      acceptPause.async_wait([this](error_code e) {
        if (!e && !stopping) Accept();
      });
      return;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    bool full = answering >= limits.maxConnections;
    if (full && refusing >= kMaxRefusing) {
      Overflowed("a client", "");
      socket.close(ignored);
    } else {
      Open(*this, std::move(socket), full);
    }
    Accept();
  });
}

void Server::Overflowed(const std::string &who, const std::string &why) {
  ++overflowed;
  auto now = std::chrono::steady_clock::now();
  if (overflowed > 1 && now - overflowLogged < std::chrono::seconds(1)) return;
  std::string more = overflowed > 1
                         ? " (" + std::to_string(overflowed - 1) + " more since the last such line)"
                         : "";
  Log(who, 503,
      (why.empty()
           ? "too many open connections (at most " + std::to_string(limits.maxConnections) + ")"
           : why) +
          more);
  overflowed = 0;
  overflowLogged = now;
}

}  // namespace transport

struct HttpServer::Impl : transport::Server {
  using Server::Server;
};

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits)
    : impl_(new Impl(std::move(handler), limits)) {}

HttpServer::~HttpServer() = default;

int HttpServer::Listen(const std::string &address, int port, std::string *error) {
  using namespace transport;
  Impl &impl = *impl_;
  rlim_t files = RaiseFileLimit();
  size_t usable =
      files > kReservedFiles + kMaxRefusing + 16 ? files - kReservedFiles - kMaxRefusing : 16;
  if (impl.limits.maxConnections > usable) {
    fprintf(stderr,
            "rhl serve: at most %zu connections at once: this process may open %llu files\n",
            usable, (unsigned long long)files);
    impl.limits.maxConnections = usable;
  }
  int fd = ListeningSocket(address, port, error);
  if (fd < 0) return -1;
  boost::system::error_code ec;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, (sockaddr *)&bound, &length);
  impl.acceptor.assign(bound.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
  if (ec) {
    close(fd);
    *error = ec.message();
    return -1;
  }
  tcp::endpoint local = impl.acceptor.local_endpoint(ec);
  if (ec) {
    *error = ec.message();
    return -1;
  }
  impl.loopbackOnly = local.address().is_loopback();
  return local.port();
}

bool HttpServer::Run() {
  Impl &impl = *impl_;
  if (!impl.acceptor.is_open()) return false;
  bool clean = true;
  auto busy = boost::asio::make_work_guard(impl.io);
  impl.Accept();
  try {
    impl.io.run();
  } catch (const std::exception &e) {
    fprintf(stderr, "rhl serve: the server failed: %s\n", e.what());
    clean = false;
  }
  // Stopped: every connection closes now, and whatever was under way ends
  // with an error. Answers still being made are dropped when they come.
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(impl.limits.stopGraceMs);
  impl.stopping = true;
  boost::system::error_code ignored;
  impl.acceptor.close(ignored);
  impl.acceptPause.cancel();
  for (transport::Connection *connection : std::list<transport::Connection *>(impl.open))
    transport::Close(connection);
  busy.reset();
  impl.pool.Close();
  impl.io.restart();
  impl.io.poll();
  impl.pool.WaitIdle(deadline);
  return clean;
}

void HttpServer::Stop() {
  impl_->stopping = true;
  impl_->io.stop();
}

size_t HttpServer::Busy() const { return impl_->pool.Busy(); }

}  // namespace web
}  // namespace rhl
