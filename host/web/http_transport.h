// Inside the HTTP transport: what its connections share, and the
// connections themselves (http_connection.cpp). Seen only by the transport's
// own files.
#ifndef RHL_HOST_WEB_HTTP_TRANSPORT_H
#define RHL_HOST_WEB_HTTP_TRANSPORT_H

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <list>
#include <string>

#include "http.h"
#include "http_pool.h"

namespace rhl {
namespace web {
namespace transport {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

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

// Serves a connection just accepted, or answers it 503 and closes it where
// `refused`; it lives as long as it is under way.
void Open(Server &server, tcp::socket socket, bool refused);
// Closes a connection at once; what it had under way ends with an error.
void Close(Connection *connection);

// A line in the log: "rhl serve: WHO: STATUS REASON".
void Log(const std::string &who, int status, const std::string &reason);
// "10 s", "0.8 s".
std::string Seconds(int ms);

}  // namespace transport
}  // namespace web
}  // namespace rhl

#endif
