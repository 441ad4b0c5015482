// One connection of the HTTP transport, on the I/O thread: it waits for a
// request's first byte (closed when idle too long), reads the rest of the
// head against a total deadline (408), checks it (method, size, body, Host)
// and hands it to the handler pool; the answer comes back to the I/O thread,
// which writes it against a deadline and waits for the next request. One
// request of a connection is with the handlers at a time, so pipelined
// requests are answered in order. An answer that closes the connection
// shuts down the sending side and reads (and drops) what the client still
// sends for a moment, so that it sees the answer rather than a reset.
#include <ctype.h>
#include <stdio.h>

#include <array>
// GCC takes an empty boost::optional in Beast's parser for one that may be
// used uninitialized (with the sanitizers' instrumentation).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <limits>
#include <optional>

#include "http_transport.h"
#include "http_wire.h"

namespace rhl {
namespace web {
namespace transport {
namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

// After an answer that closes the connection: how long, and how much, the
// client's further bytes are read and dropped.
constexpr int kLingerMs = 1000;
constexpr size_t kLingerBytes = 1 << 20;

}  // namespace

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server &server, tcp::socket socket, bool refused)
      : server_(server),
        socket_(std::move(socket)),
        timer_(server.io),
        buffer_(server.limits.maxHeaderBytes),
        refused_(refused) {
    error_code ec;
    tcp::endpoint peer = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("a client")
               : peer.address().to_string() + ":" + std::to_string(peer.port());
    registered_ = server_.open.insert(server_.open.end(), this);
    ++(refused_ ? server_.refusing : server_.answering);
  }
  ~Connection() { Unregister(); }

  void Start() {
    if (!refused_) return AwaitRequest();
    HttpResponse response;
    response.Refuse(503, "too many open connections (at most " +
                             std::to_string(server_.limits.maxConnections) +
                             "); try again shortly");
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
    buffer_.shrink_to_fit();                    // an idle connection keeps no buffer
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
    parser_->body_limit(
        std::numeric_limits<std::uint64_t>::max());  // a body is refused, never read
    timedOut_ = false;
    begun_ = false;
    Arm(kHead, server_.limits.headerMs);
    Parse();
  }

  void Parse() {
    // Empty lines before a request are allowed.
    while (!begun_ && buffer_.size() > 0) {
      char first = *static_cast<const char *>(buffer_.data().data());
      if (first != '\r' && first != '\n')
        begun_ = true;
      else
        buffer_.consume(1);
    }
    error_code ec = bhttp::error::need_more;
    if (buffer_.size() > 0) {
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (!ec && parser_->is_header_done()) return OnRequest();
    }
    if (ec == bhttp::error::header_limit ||
        (ec == bhttp::error::need_more && buffer_.size() >= buffer_.max_size())) {
      bool line = parser_->get().target().empty();  // the parser takes the line once it is whole
      return Fail(line ? 414 : 431,
                  line ? "the request target is longer than " +
                             std::to_string(server_.limits.maxTargetBytes) + " bytes"
                       : "the request's headers are longer than " +
                             std::to_string(server_.limits.maxHeaderBytes) + " bytes");
    }
    if (ec == bhttp::error::bad_version)
      return Fail(505, "this server speaks HTTP/1.0 and HTTP/1.1");
    if (ec != bhttp::error::need_more)
      return Fail(400, "the request is not one of HTTP/1.1 (" + ec.message() + ")");
    size_t room = std::min<size_t>(buffer_.max_size() - buffer_.size(), 8192);
    socket_.async_read_some(
        buffer_.prepare(room), [self = shared_from_this()](error_code e, size_t n) {
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
    // Refusals are logged, and so are answers that carry one at 200 (a WMS
    // ServiceException, a blank map for a request that was refused).
    if (response.status >= 400 || !response.reason.empty()) {
      std::string reason = response.reason.empty()
                               ? "refused (HTTP " + std::to_string(response.status) + ")"
                               : Escaped(response.reason);
      Log(Escaped(method_) + " " + Escaped(path_), response.status, reason);
    }
    bool close = !keepAlive_;
    std::string text = ResponseHead(response, response.body.size(), close, http10_ && !close);
    if (head_) response.body.clear();
    asio::post(server_.io,
               [self = shared_from_this(), text = std::move(text), body = std::move(response.body),
                close]() mutable { self->Send(std::move(text), std::move(body), close); });
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

void Open(Server &server, tcp::socket socket, bool refused) {
  std::make_shared<Connection>(server, std::move(socket), refused)->Start();
}

void Close(Connection *connection) { connection->Close(); }

}  // namespace transport
}  // namespace web
}  // namespace rhl
