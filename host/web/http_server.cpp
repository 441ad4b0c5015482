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
// A connection's life: it waits for a request's first byte (closed when idle
// too long), then for the rest of the head (a total deadline: 408), which is
// checked (method, size, body, Host) and handed to the handler pool; the
// answer comes back to the I/O thread, which writes it (deadline) and waits
// for the next request. One request of a connection is handled at a time,
// so pipelined requests are answered in order. Answers are 200 or the
// handler's status with the whole body: Range is not honoured. An answer
// that closes the connection shuts down the sending side and reads (and
// drops) what the client still sends for a moment, so that it sees the
// answer rather than a reset.
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <limits>
#include <list>
#include <optional>

#include "http.h"
#include "http_pool.h"
#include "http_wire.h"

namespace rhl {
namespace web {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Files the process keeps for itself beyond its connections: images, the
// module, logs, worker pipes.
constexpr size_t kReservedFiles = 128;
// Connections beyond the cap being answered 503 at once; more are closed
// without an answer.
constexpr size_t kMaxRefusing = 64;
// After an answer that closes the connection: how long, and how much, the
// client's further bytes are read and dropped.
constexpr int kLingerMs = 1000;
constexpr size_t kLingerBytes = 1 << 20;

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

std::string Seconds(int ms) {
  char text[32];
  snprintf(text, sizeof text, ms % 1000 == 0 ? "%.0f s" : "%.1f s", ms / 1000.0);
  return text;
}

void Log(const std::string &who, int status, const std::string &reason) {
  fprintf(stderr, "rhl serve: %s: %d %s\n", who.c_str(), status, reason.c_str());
}

class Connection;

// What every connection shares: the limits, the handler, the I/O context and
// the pool. Touched by the I/O thread alone, but for `stopping`, `io` and
// `pool`.
struct Server {
  Server(HttpHandler h, HttpLimits l) : handler(std::move(h)), limits(l), pool(l.maxHandlers) {}
  ~Server();

  void Accept();
  // Logs a connection refused for the cap (or for want of files), one line
  // a second at most.
  void Overflowed(const std::string &who, const std::string &why);

  const HttpHandler handler;
  HttpLimits limits;
  bool loopbackOnly = false;
  std::atomic<bool> stopping{false};
  std::list<Connection *> open;  // every connection, with those being refused
  size_t answering = 0, refusing = 0;
  size_t overflowed = 0;  // refused since the last line in the log about it
  std::chrono::steady_clock::time_point overflowLogged;
  char discard[16384];  // what a closing client still sends (one I/O thread)
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptPause{io};
  HandlerPool pool;  // last: its threads end before the rest goes
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server &server, tcp::socket socket, bool refused)
      : server_(server), socket_(std::move(socket)), timer_(server.io),
        buffer_(server.limits.maxHeaderBytes), refused_(refused) {
    error_code ec;
    tcp::endpoint peer = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("a client") : peer.address().to_string() + ":" + std::to_string(peer.port());
    registered_ = server_.open.insert(server_.open.end(), this);
    ++(refused_ ? server_.refusing : server_.answering);
  }
  ~Connection() { Unregister(); }

  void Start() {
    if (!refused_) return AwaitRequest();
    HttpResponse response;
    response.Refuse(503, "too many open connections (at most " +
                             std::to_string(server_.limits.maxConnections) + "); try again shortly");
    response.headers.emplace_back("Retry-After", "1");
    server_.Overflowed(peer_, "");
    std::string head = ResponseHead(response, response.body.size(), true, false);
    Send(std::move(head), std::move(response.body), true);
  }

  // Closes the socket at once; what is under way ends with an error.
  void Close() {
    if (closed_) return;
    closed_ = true;
    error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    Unregister();
  }

 private:
  enum Phase { kIdle, kHead, kHandler, kWrite, kLinger };

  void Unregister() {
    if (registered_ == server_.open.end()) return;
    server_.open.erase(registered_);
    registered_ = server_.open.end();
    --(refused_ ? server_.refusing : server_.answering);
  }

  // The phase's deadline: closes the connection (or, for a head, answers 408).
  void Arm(Phase phase, int ms) {
    phase_ = phase;
    unsigned generation = ++generation_;
    timer_.expires_after(std::chrono::milliseconds(ms));
    timer_.async_wait([self = shared_from_this(), generation](error_code ec) {
      if (ec || generation != self->generation_ || self->closed_) return;
      if (self->phase_ == kHead) {
        self->timedOut_ = true;
        error_code ignored;
        self->socket_.cancel(ignored);  // the read ends, and answers 408
      } else {
        self->Close();
      }
    });
  }
  void Disarm(Phase phase) {
    phase_ = phase;
    ++generation_;
    timer_.cancel();
  }

  void AwaitRequest() {
    if (server_.stopping || closed_) return Close();
    if (buffer_.size() > 0) return ReadHead();  // pipelined
    buffer_.shrink_to_fit();  // an idle connection keeps no buffer
    Arm(kIdle, server_.limits.idleMs);
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code ec) {
      if (ec || self->closed_) return self->Close();
      self->ReadHead();
    });
  }

  // A head, from its first byte, within the deadline.
  void ReadHead() {
    if (server_.stopping || closed_) return Close();
    parser_.emplace();
    parser_->header_limit((std::uint32_t)server_.limits.maxHeaderBytes);
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());  // a body is refused, never read
    timedOut_ = false;
    begun_ = false;
    Arm(kHead, server_.limits.headerMs);
    Parse();
  }

  void Parse() {
    // Empty lines before a request are allowed.
    while (!begun_ && buffer_.size() > 0) {
      char first = *static_cast<const char *>(buffer_.data().data());
      if (first != '\r' && first != '\n') begun_ = true;
      else buffer_.consume(1);
    }
    error_code ec = bhttp::error::need_more;
    if (buffer_.size() > 0) {
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (!ec && parser_->is_header_done()) return OnRequest();
    }
    if (ec == bhttp::error::header_limit || (ec == bhttp::error::need_more &&
                                             buffer_.size() >= buffer_.max_size())) {
      bool line = parser_->get().target().empty();  // the parser takes the line once it is whole
      return Fail(line ? 414 : 431, line ? "the request target is longer than " +
                                               std::to_string(server_.limits.maxTargetBytes) + " bytes"
                                         : "the request's headers are longer than " +
                                               std::to_string(server_.limits.maxHeaderBytes) + " bytes");
    }
    if (ec == bhttp::error::bad_version) return Fail(505, "this server speaks HTTP/1.0 and HTTP/1.1");
    if (ec != bhttp::error::need_more) return Fail(400, "the request is not one of HTTP/1.1 (" + ec.message() + ")");
    size_t room = std::min<size_t>(buffer_.max_size() - buffer_.size(), 8192);
    socket_.async_read_some(buffer_.prepare(room), [self = shared_from_this()](error_code e, size_t n) {
      self->buffer_.commit(n);
      if (self->closed_) return;
      if (self->server_.stopping) return self->Close();
      if (self->timedOut_)
        return self->Fail(408, "the request's headers did not all come within " +
                                   Seconds(self->server_.limits.headerMs));
      if (e) return self->Close();  // the client went, or the network failed
      self->Parse();
    });
  }

  void OnRequest() {
    const auto &head = parser_->get();
    HttpRequest request;
    request.method = std::string(head.method_string());
    request.target = std::string(head.target());
    for (const auto &field : head) {
      std::string name(field.name_string());
      for (char &c : name) c = (char)tolower((unsigned char)c);
      request.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    method_ = request.method;
    path_ = request.target;
    keepAlive_ = parser_->keep_alive();
    http10_ = head.version() == 10;
    head_ = request.method == "HEAD";
    bool body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    int hosts = 0;
    for (const auto &field : request.headers) hosts += field.first == "host";
    std::string authority;

    if (head.version() != 10 && head.version() != 11)
      return Fail(505, "this server speaks HTTP/1.0 and HTTP/1.1");
    if (body)  // no route takes a body; it is never read
      return Fail(413, "this server takes no request body");
    if (request.target.size() > server_.limits.maxTargetBytes)
      return Fail(414, "the request target is longer than " +
                           std::to_string(server_.limits.maxTargetBytes) + " bytes");
    if (request.method != "GET" && request.method != "HEAD")
      return Fail(405, "this server answers GET and HEAD only", keepAlive_);
    if (!SplitTarget(&request, &authority)) return Fail(400, "the request target is not a path");
    path_ = request.path;
    if (hosts > 1 || (hosts == 0 && !http10_ && authority.empty()))
      return Fail(400, "a request names its host once, in one Host header");
    if (authority.empty()) authority = request.Header("host");
    if (server_.loopbackOnly && !(http10_ && hosts == 0 && authority.empty()) &&
        !IsLoopbackHost(authority))
      return Fail(403,
                  "this server answers requests for localhost only, not for '" +
                      Escaped(authority, 100) + "' (rhl serve --bind serves other names)",
                  keepAlive_);
    Dispatch(std::move(request));
  }

  void Dispatch(HttpRequest request) {
    Disarm(kHandler);
    auto job = [self = shared_from_this(), request = std::move(request)]() {
      HttpResponse response;
      try {
        self->server_.handler(request, response);
      } catch (const std::exception &e) {
        response = HttpResponse();
        response.Refuse(500, e.what());
      } catch (...) {
        response = HttpResponse();
        response.Refuse(500, "the request failed");
      }
      self->Answered(std::move(response));
    };
    if (!server_.pool.Submit(std::move(job))) Close();
  }

  // On a handler's thread: logs a refusal, and sends the answer from the I/O
  // thread.
  void Answered(HttpResponse response) {
    if (response.status >= 400 && response.body.empty()) {
      response.type = "text/plain; charset=utf-8";
      response.body = "refused (HTTP " + std::to_string(response.status) + ")\n";
    }
    if (response.status >= 400) {
      std::string reason = response.reason.empty()
                               ? "refused (HTTP " + std::to_string(response.status) + ")"
                               : Escaped(response.reason);
      Log(Escaped(method_) + " " + Escaped(path_), response.status, reason);
    }
    bool close = !keepAlive_;
    std::string text = ResponseHead(response, response.body.size(), close, http10_ && !close);
    if (head_) response.body.clear();
    asio::post(server_.io, [self = shared_from_this(), text = std::move(text),
                            body = std::move(response.body), close]() mutable {
      self->Send(std::move(text), std::move(body), close);
    });
  }

  // A refusal by the transport itself; it closes the connection unless
  // `keep` (a whole request without a body was read).
  void Fail(int status, const std::string &why, bool keep = false) {
    HttpResponse response;
    response.Refuse(status, why);
    if (status == 405) response.headers.emplace_back("Allow", "GET, HEAD");
    std::string who = method_.empty() ? peer_ : Escaped(method_) + " " + Escaped(path_);
    Log(who, status, why);  // made of escaped parts
    bool close = !keep;
    std::string text = ResponseHead(response, response.body.size(), close, http10_ && !close);
    if (head_) response.body.clear();
    Send(std::move(text), std::move(response.body), close);
  }

  void Send(std::string head, std::string body, bool close) {
    if (closed_) return;
    if (server_.stopping) return Close();
    out_ = std::move(head);
    outBody_ = std::move(body);
    Arm(kWrite, server_.limits.writeMs);
    std::array<asio::const_buffer, 2> buffers{asio::buffer(out_), asio::buffer(outBody_)};
    asio::async_write(socket_, buffers, [self = shared_from_this(), close](error_code ec, size_t) {
      if (ec || self->closed_) return self->Close();
      self->out_ = std::string();
      self->outBody_ = std::string();
      self->method_.clear();
      self->path_.clear();
      self->head_ = false;
      if (close) return self->Linger();
      self->AwaitRequest();
    });
  }

  void Linger() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    lingered_ = 0;
    Arm(kLinger, kLingerMs);
    Drain();
  }
  void Drain() {
    socket_.async_read_some(asio::buffer(server_.discard),
                            [self = shared_from_this()](error_code ec, size_t n) {
                              self->lingered_ += n;
                              if (ec || self->closed_ || self->lingered_ > kLingerBytes)
                                return self->Close();
                              self->Drain();
                            });
  }

  Server &server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::empty_body>> parser_;
  std::list<Connection *>::iterator registered_;
  std::string peer_, method_, path_, out_, outBody_;
  Phase phase_ = kIdle;
  unsigned generation_ = 0;
  size_t lingered_ = 0;
  bool refused_, closed_ = false, timedOut_ = false, begun_ = false;
  bool keepAlive_ = false, http10_ = false, head_ = false;
};

Server::~Server() {
  stopping = true;
  pool.Close();
  for (Connection *connection : std::list<Connection *>(open)) connection->Close();
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
      std::make_shared<Connection>(*this, std::move(socket), full)->Start();
    }
    Accept();
  });
}

void Server::Overflowed(const std::string &who, const std::string &why) {
  ++overflowed;
  auto now = std::chrono::steady_clock::now();
  if (overflowed > 1 && now - overflowLogged < std::chrono::seconds(1)) return;
  std::string more =
      overflowed > 1 ? " (" + std::to_string(overflowed - 1) + " more since the last such line)" : "";
  Log(who, 503,
      (why.empty() ? "too many open connections (at most " + std::to_string(limits.maxConnections) + ")"
                   : why) + more);
  overflowed = 0;
  overflowLogged = now;
}

}  // namespace

struct HttpServer::Impl : Server {
  using Server::Server;
};

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits)
    : impl_(new Impl(std::move(handler), limits)) {}

HttpServer::~HttpServer() = default;

int HttpServer::Listen(const std::string &address, int port, std::string *error) {
  Impl &impl = *impl_;
  rlim_t files = RaiseFileLimit();
  size_t usable = files > kReservedFiles + kMaxRefusing + 16 ? files - kReservedFiles - kMaxRefusing : 16;
  if (impl.limits.maxConnections > usable) {
    fprintf(stderr, "rhl serve: at most %zu connections at once: this process may open %llu files\n",
            usable, (unsigned long long)files);
    impl.limits.maxConnections = usable;
  }
  int fd = ListeningSocket(address, port, error);
  if (fd < 0) return -1;
  error_code ec;
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
  auto busy = asio::make_work_guard(impl.io);
  impl.Accept();
  try {
    impl.io.run();
  } catch (const std::exception &e) {
    fprintf(stderr, "rhl serve: the server failed: %s\n", e.what());
    clean = false;
  }
  // Stopped: every connection closes now, and whatever was under way ends
  // with an error. Answers still being made are dropped when they come.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(impl.limits.stopGraceMs);
  impl.stopping = true;
  error_code ignored;
  impl.acceptor.close(ignored);
  impl.acceptPause.cancel();
  for (Connection *connection : std::list<Connection *>(impl.open)) connection->Close();
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
