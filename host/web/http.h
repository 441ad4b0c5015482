// The HTTP layer of rhl serve: a request as the services see it, the response
// they fill, and the server that carries both. The services never see a
// socket and the server never knows a route: everything between them passes
// through these types.
#ifndef RHL_HOST_WEB_HTTP_H
#define RHL_HOST_WEB_HTTP_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rhl {
namespace web {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // as sent: GET, HEAD, ...
  std::string target;  // the request target as sent, still encoded
  std::string path;    // the target's path, percent-decoded (may hold any byte)
  std::string query;   // the target's query as sent, without the '?'
  HttpFields params;   // the query's pairs, decoded ('+' is a space), in order
  HttpFields headers;  // names in lower case, in order

  // The first header called `name` (lower case), or "".
  std::string Header(const std::string &name) const;
  // The first query parameter called `name`, the name's letter case ignored
  // (OGC services' names are case-insensitive); null when there is none.
  const std::string *Param(const std::string &name) const;
};

struct HttpResponse {
  int status = 200;
  std::string type;     // Content-Type
  std::string body;
  HttpFields headers;   // beyond Content-Type and Content-Length
  std::string reason;   // why the request was refused or failed, for the log

  // A plain-text refusal: `why` as the body and the log's reason.
  void Refuse(int code, const std::string &why);
};

// Answers one request. Called on the server's worker threads, several at
// once; it may block (a view takes its time), and it never throws.
using HttpHandler = std::function<void(const HttpRequest &, HttpResponse &)>;

// Text as it may go into a log or a plain-text body: control characters and
// bytes that are not printable ASCII escaped (\n, \x00, ...), at most
// `limit` bytes of the original.
std::string Escaped(const std::string &text, size_t limit = 400);

// What a client may hold or send. The defaults suit a map server on this
// machine or behind a proxy; tests shorten the times.
struct HttpLimits {
  // Open connections; one more is answered 503 and closed at once.
  size_t maxConnections = 1000;
  // A connection with no request under way is closed after this (a new
  // connection too, until its first byte).
  int idleMs = 5000;
  // A request's line and headers must all have come within this of its first
  // byte (a total: bytes trickling in do not extend it); else 408.
  int headerMs = 10000;
  // An answer must have gone out within this of its first byte; else the
  // connection is closed.
  int writeMs = 30000;
  // The request target (414 beyond), and the request line with every header
  // (431 beyond).
  size_t maxTargetBytes = 8192;
  size_t maxHeaderBytes = 16384;
  // Handlers running at once (threads, made as they are needed); further
  // requests queue, at most one per open connection.
  size_t maxHandlers = 64;
  // After Stop(), how long Run() waits for handlers still running.
  int stopGraceMs = 1000;
};

class HttpServer {
 public:
  explicit HttpServer(HttpHandler handler, HttpLimits limits = HttpLimits());
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Binds `address`, `port` (0: a free one) and listens: the port, or -1
  // with the reason in words in *error. Bound to a loopback address, the
  // server answers only requests that name a loopback host (localhost,
  // 127.x.y.z, [::1]), so that a web page cannot reach it under a name of
  // its own (DNS rebinding); bound elsewhere, any host.
  int Listen(const std::string &address, int port, std::string *error);
  // Serves until Stop(); false when serving failed.
  bool Run();
  // Stops serving at once, from any thread: every connection is closed and
  // Run() returns, within the stop grace even where handlers still run (the
  // destructor waits for those).
  void Stop();
  // Handlers still running (after Run() has returned: answers that will
  // never be sent).
  size_t Busy() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace web
}  // namespace rhl

#endif
