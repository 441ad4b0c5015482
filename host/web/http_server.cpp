// The HTTP server over cpp-httplib: requests become HttpRequests, each
// answered by the handler on the library's worker threads.
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <httplib.h>

#include <thread>

#include "http.h"

namespace rhl {
namespace web {
namespace {

// Idle keep-alive connections are dropped after this, which also bounds how
// long a stop waits for them.
constexpr time_t kKeepAliveSeconds = 2;

std::string Lower(std::string text) {
  for (char &c : text) c = (char)tolower((unsigned char)c);
  return text;
}

HttpRequest FromLibrary(const httplib::Request &req) {
  HttpRequest request;
  request.method = req.method;
  request.target = req.target;
  request.path = req.path;
  size_t mark = req.target.find('?');
  if (mark != std::string::npos) request.query = req.target.substr(mark + 1);
  // The library keeps parameters sorted by name; the query's own order is
  // read back from the text.
  httplib::Params ordered;
  for (size_t from = 0; from <= request.query.size();) {
    size_t amp = request.query.find('&', from);
    if (amp == std::string::npos) amp = request.query.size();
    std::string pair = request.query.substr(from, amp - from);
    from = amp + 1;
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    std::string name = pair.substr(0, eq), value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    request.params.emplace_back(httplib::detail::decode_url(name, true),
                                httplib::detail::decode_url(value, true));
  }
  for (const auto &header : req.headers) request.headers.emplace_back(Lower(header.first), header.second);
  return request;
}

// Why the address cannot be listened on, in words: tries the bind itself.
std::string BindFailure(const std::string &host, int port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return "'" + host + "' is not an address (" + gai_strerror(rc) + ")";
  std::string why = "the address cannot be listened on";
  int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (fd >= 0) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
      int error = errno;
      if (error == EADDRINUSE)
        why = "port " + std::to_string(port) + " is in use (--port 0 picks a free one)";
      else if (error == EADDRNOTAVAIL)
        why = "'" + host + "' is not an address of this machine";
      else
        why = strerror(error);
    }
    close(fd);
  }
  freeaddrinfo(found);
  return why;
}

}  // namespace

struct HttpServer::Impl {
  httplib::Server server;
  std::atomic<bool> stopping{false}, finished{false};
};

HttpServer::HttpServer(HttpHandler handler) : impl_(new Impl) {
  httplib::Server &server = impl_->server;
  auto answer = [handler](const httplib::Request &req, httplib::Response &res) {
    HttpRequest request = FromLibrary(req);
    HttpResponse response;
    handler(request, response);
    res.status = response.status;
    for (const auto &field : response.headers) res.set_header(field.first, field.second);
    if (!response.reason.empty()) res.set_header("Rhl-Reason", Escaped(response.reason));
    res.set_content(std::move(response.body), response.type);
  };
  server.Get(R"(.*)", answer);
  server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (res.body.empty()) {
      std::string why = "refused (HTTP " + std::to_string(res.status) + ")";
      res.set_content(why + "\n", "text/plain; charset=utf-8");
      res.set_header("Rhl-Reason", why);
    }
  });
  // Refusals and failures go to the log, with the reason the client was given.
  server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
    if (res.status < 400) return;
    fprintf(stderr, "rhl serve: %s %s: %d %s\n", Escaped(req.method).c_str(),
            Escaped(req.path).c_str(), res.status, res.get_header_value("Rhl-Reason").c_str());
  });
  // Address reuse for a quick restart, but not port sharing: a second server
  // on a port in use must fail, not take half its connections.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // A response goes out as a header write and a body write: without this
  // the body waits for the client's delayed acknowledgement of the header.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_keep_alive_max_count(1000);
}

HttpServer::~HttpServer() = default;

int HttpServer::Listen(const std::string &address, int port, std::string *error) {
  int bound = port == 0 ? impl_->server.bind_to_any_port(address)
                        : impl_->server.bind_to_port(address, port) ? port : -1;
  if (bound <= 0) {
    *error = BindFailure(address, port);
    return -1;
  }
  return bound;
}

bool HttpServer::Run() {
  bool clean = impl_->stopping || impl_->server.listen_after_bind();
  impl_->finished = true;
  return clean;
}

void HttpServer::Stop() {
  impl_->stopping = true;
  // A stop that comes before the server runs waits until it does.
  while (!impl_->server.is_running() && !impl_->finished)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  impl_->server.stop();
}

}  // namespace web
}  // namespace rhl
