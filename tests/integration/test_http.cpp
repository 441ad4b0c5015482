// rhl serve's HTTP transport over loopback, with a handler of the test's
// own and limits shortened so that deadlines show in a second: what a client
// may hold or send, what it gets back, and a stop whatever it is doing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "http.h"
#include "raw_client.h"

using namespace rhl::web;
using namespace raw_client;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Handlers held at /block until the gate opens.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int waiting = 0;
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [this] { return open; });
    --waiting;
  }
  bool AwaitWaiting(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return waiting >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
};

// An HttpServer on a free port, run on a thread of its own. Its handler
// answers /echo with the method, path and parameters, /big with `bigBytes`
// bytes, and holds /block at the gate.
class Running {
 public:
  explicit Running(HttpLimits limits, const std::string &bind = "127.0.0.1")
      : server_([this](const HttpRequest &req, HttpResponse &res) { Answer(req, res); }, limits) {
    std::string error;
    port_ = server_.Listen(bind, 0, &error);
    EXPECT_GT(port_, 0) << error;
    thread_ = std::thread([this] { ran_ = server_.Run(); });
  }
  ~Running() {
    gate.Open();
    Stop();
  }
  // Stops the server; how long Run() took to return.
  double Stop() {
    if (!thread_.joinable()) return 0;
    auto start = Clock::now();
    server_.Stop();
    thread_.join();
    return Since(start);
  }
  int port() const { return port_; }
  HttpServer &server() { return server_; }
  Gate gate;
  size_t bigBytes = 1 << 20;

 private:
  void Answer(const HttpRequest &req, HttpResponse &res) {
    if (req.path == "/block") gate.Pass();
    if (req.path == "/big") {
      res.body.assign(bigBytes, 'b');
      return;
    }
    if (req.path == "/missing") return res.Refuse(404, "no such thing");
    res.type = "text/plain";
    res.body = req.method + " " + req.path;
    for (const auto &p : req.params) res.body += " " + p.first + "=" + p.second;
  }

  HttpServer server_;
  std::thread thread_;
  int port_ = -1;
  bool ran_ = false;
};

HttpLimits Short() {
  HttpLimits limits;
  limits.idleMs = 400;
  limits.headerMs = 800;
  limits.writeMs = 800;
  return limits;
}

}  // namespace

TEST(HttpTransport, PipelinedRequestsAreAnsweredInOrderAndHeadGetsTheHeadAlone) {
  Running server(Short());
  int fd = Connect(server.port());
  ASSERT_GE(fd, 0);
  std::string batch;
  for (int i = 0; i < 5; ++i) batch += Get("/echo?n=" + std::to_string(i));
  ASSERT_TRUE(SendAll(fd, batch));
  std::vector<Response> got = Read(fd, 5, 5000);
  ASSERT_EQ(got.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(got[i].status, 200);
    EXPECT_EQ(got[i].body, "GET /echo n=" + std::to_string(i));
  }
  // HEAD: the GET's fields and length, no body; the next request on the same
  // connection is read where the head ended.
  ASSERT_TRUE(SendAll(fd, "HEAD /echo?x=1 HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  got = Read(fd, 1, 5000, true);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].headers["content-length"], std::to_string(strlen("HEAD /echo x=1")));
  EXPECT_EQ(got[0].headers["content-type"], "text/plain");
  ASSERT_TRUE(SendAll(fd, "\r\n" + Get("/echo")));  // an empty line between requests is allowed
  got = Read(fd, 1, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].body, "GET /echo");
  close(fd);
}

TEST(HttpTransport, WhatNoRouteTakesIsRefusedWithoutReadingIt) {
  std::string ranges = "Range: bytes=0-";
  for (int i = 0; i < 2700; ++i) ranges += ",0-";
  struct Case {
    std::string request;
    int status;
    bool closes;  // after the answer
    std::string said;
  } cases[] = {
      {"PUT /echo HTTP/1.1\r\nHost: localhost\r\n\r\n", 405, false, "GET and HEAD only"},
      {"OPTIONS * HTTP/1.1\r\nHost: localhost\r\n\r\n", 405, false, "GET and HEAD only"},
      {"POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1073741824\r\n\r\n" +
           std::string(100000, 'x'),
       413, true, "no request body"},
      {"GET /echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
       413, true, "no request body"},
      {"GET /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", 200, false, ""},
      {"GET /echo HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n",
       413, true, "no request body"},
      {Get("/" + std::string(9000, 'a')), 414, true, "longer than 8192 bytes"},
      {Get("/" + std::string(20000, 'a')), 414, true, "longer than 8192 bytes"},
      {Get("/echo", "localhost", "X-Long: " + std::string(17000, 'a') + "\r\n"), 431, true,
       "longer than 16384 bytes"},
      {"GARBAGE\r\n\r\n", 400, true, "not one of HTTP/1.1"},
      {"GET /echo HTTP/2.0\r\nHost: localhost\r\n\r\n", 505, true, "HTTP/1.0 and HTTP/1.1"},
      {"GET echo HTTP/1.1\r\nHost: localhost\r\n\r\n", 400, true, "not a path"},
      {"GET /echo HTTP/1.1\r\n\r\n", 400, true, "one Host header"},
      {"GET /echo HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n", 400, true,
       "one Host header"},
      {"GET /echo HTTP/1.0\r\n\r\n", 200, true, ""},
      {Get("/echo", "localhost", ranges + "\r\n"), 200, false, ""},
      {Get("/missing"), 404, false, "no such thing"},
  };
  Running server(Short());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    int fd = Connect(server.port());
    ASSERT_GE(fd, 0);
    SendAll(fd, c.request, 2000);  // may be cut short where the server stops reading
    std::vector<Response> got = Read(fd, 1, 3000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, c.status) << got[0].body;
    EXPECT_NE(got[0].body.find(c.said), std::string::npos) << got[0].body;
    EXPECT_EQ(got[0].headers.count("content-range"), 0u);
    if (c.status == 405) {
      EXPECT_EQ(got[0].headers["allow"], "GET, HEAD");
    }
    if (c.status == 200) {
      EXPECT_EQ(got[0].body.substr(0, 9), "GET /echo");
    }
    if (c.closes) {
      EXPECT_EQ(got[0].headers["connection"], "close");
      ReadToClose(fd, 3000);
      EXPECT_TRUE(PeerClosed(fd));
    } else {
      ASSERT_TRUE(SendAll(fd, Get("/echo?again=1")));
      got = Read(fd, 1, 3000);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].body, "GET /echo again=1");
    }
    close(fd);
  }
}

TEST(HttpTransport, BoundToLoopbackOnlyLoopbackNamesAreAnsweredAndBoundElsewhereAny) {
  struct Case {
    std::string request;
    int onLoopback, elsewhere;
  } cases[] = {
      {Get("/echo", "localhost:8080"), 200, 200},
      {Get("/echo", "127.0.0.1"), 200, 200},
      {Get("/echo", "[::1]:1"), 200, 200},
      {Get("/echo", "evil.example"), 403, 200},
      {Get("/echo", "evil.example:8080"), 403, 200},
      {Get("/echo", "127.0.0.1.nip.io"), 403, 200},
      {"GET http://evil.example/echo HTTP/1.1\r\nHost: localhost\r\n\r\n", 403, 200},
      {"GET http://localhost/echo HTTP/1.1\r\nHost: evil.example\r\n\r\n", 200, 200},
  };
  Running loopback(Short());
  Running anywhere(Short(), "0.0.0.0");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    Response r = Fetch(loopback.port(), c.request);
    EXPECT_EQ(r.status, c.onLoopback);
    if (r.status == 403) {
      EXPECT_NE(r.body.find("answers requests for localhost only"), std::string::npos) << r.body;
      EXPECT_NE(r.body.find("--bind"), std::string::npos) << r.body;
    }
    EXPECT_EQ(Fetch(anywhere.port(), c.request).status, c.elsewhere);
  }
}

TEST(HttpTransport, TheHeadersDeadlineIsATotalThatATrickleDoesNotExtend) {
  Running server(Short());  // 800 ms for a head, from its first byte
  int fd = Connect(server.port());
  ASSERT_GE(fd, 0);
  std::string request = Get("/echo", "localhost", "X-Padding: " + std::string(60, 'p') + "\r\n");
  auto start = Clock::now();
  std::string answer;
  for (size_t i = 0; i < request.size() && Since(start) < 10; ++i) {
    if (!SendAll(fd, request.substr(i, 1), 1000)) break;
    answer = ReadToClose(fd, 50);  // a byte every 50 ms: a whole head would take 5 s
    if (!answer.empty()) break;
  }
  double took = Since(start);
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 408") << answer;
  EXPECT_NE(answer.find("within 0.8 s"), std::string::npos) << answer;
  EXPECT_LT(took, 2.5);
  close(fd);
}

TEST(HttpTransport, IdleConnectionsAreClosedNewOrKeptAlive) {
  Running server(Short());  // idle 400 ms
  int fresh = Connect(server.port()), used = Connect(server.port());
  ASSERT_TRUE(SendAll(used, Get("/echo")));
  ASSERT_EQ(Read(used, 1, 3000).size(), 1u);
  auto start = Clock::now();
  EXPECT_EQ(ReadToClose(fresh, 5000), "");  // closed without a word
  EXPECT_EQ(ReadToClose(used, 5000), "");
  EXPECT_LT(Since(start), 2.0);
  EXPECT_TRUE(PeerClosed(fresh));
  EXPECT_TRUE(PeerClosed(used));
  close(fresh);
  close(used);
}

TEST(HttpTransport, AnAnswerTheClientDoesNotTakeIsDroppedAtTheWriteDeadline) {
  Running server(Short());     // 800 ms to write an answer
  server.bigBytes = 64 << 20;  // far more than the sockets' buffers hold
  int fd = Connect(server.port());
  ASSERT_TRUE(SendAll(fd, Get("/big")));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  std::string got = ReadToClose(fd, 5000);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), server.bigBytes);
  EXPECT_TRUE(PeerClosed(fd));
  close(fd);
  EXPECT_EQ(Fetch(server.port(), Get("/echo")).status, 200);
}

TEST(HttpTransport, BeyondTheConnectionCapAClientGets503AtOnce) {
  HttpLimits limits = Short();
  limits.idleMs = 60000;
  limits.headerMs = 60000;
  limits.maxConnections = 3;
  Running server(limits);
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(Connect(server.port()));
  ASSERT_TRUE(SendAll(held[0], "GET /echo HTTP/1.1\r\n"));  // a head under way counts too
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    Response r = Fetch(server.port(), Get("/echo"));
    EXPECT_EQ(r.status, 503);
    EXPECT_LT(Since(start), 1.0);
    EXPECT_NE(r.body.find("too many open connections (at most 3)"), std::string::npos) << r.body;
    EXPECT_EQ(r.headers["retry-after"], "1");
    EXPECT_EQ(r.headers["connection"], "close");
  }
  close(held.back());
  held.pop_back();
  Response r;
  for (int i = 0; i < 50 && r.status != 200; ++i) {  // the server sees the close soon
    r = Fetch(server.port(), Get("/echo"));
    if (r.status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(r.status, 200);
  ASSERT_TRUE(SendAll(held[0], "Host: localhost\r\n\r\n"));
  EXPECT_EQ(Read(held[0], 1, 3000).at(0).body, "GET /echo");
  for (int fd : held) close(fd);
}

TEST(HttpTransport, BlockedHandlersLeaveOthersAnsweredAndQueueBeyondThePool) {
  struct Case {
    size_t pool;
    int blocked;
    bool othersAnswered;  // while the blocked ones wait
  } cases[] = {{64, 20, true}, {2, 2, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE("pool " + std::to_string(c.pool));
    HttpLimits limits = Short();
    limits.maxHandlers = c.pool;
    limits.idleMs = 10000;
    Running server(limits);
    std::vector<int> blocked;
    for (int i = 0; i < c.blocked; ++i) {
      blocked.push_back(Connect(server.port()));
      ASSERT_TRUE(SendAll(blocked.back(), Get("/block")));
    }
    ASSERT_TRUE(server.gate.AwaitWaiting(c.blocked));
    int other = Connect(server.port());
    for (int i = 0; i < 10; ++i) {
      auto start = Clock::now();
      ASSERT_TRUE(SendAll(other, Get("/echo")));
      std::vector<Response> got = Read(other, 1, c.othersAnswered ? 5000 : 300);
      if (!c.othersAnswered) {
        EXPECT_TRUE(got.empty()) << "a request beyond the pool waits its turn";
        break;
      }
      ASSERT_EQ(got.size(), 1u);
      EXPECT_LT(Since(start), 1.0);
    }
    server.gate.Open();
    for (int fd : blocked) EXPECT_EQ(Read(fd, 1, 5000).at(0).body, "GET /block");
    if (!c.othersAnswered) {
      EXPECT_EQ(Read(other, 1, 5000).at(0).body, "GET /echo");
    }
    for (int fd : blocked) close(fd);
    close(other);
  }
}

TEST(HttpTransport, AStopEndsServingAtOnceWhateverClientsAndHandlersAreDoing) {
  HttpLimits limits;  // the real deadlines: nothing ends by itself here
  limits.stopGraceMs = 500;
  Running server(limits);
  std::vector<int> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(Connect(server.port()));
    SendAll(clients.back(), i % 2 ? "GET /echo HTTP/1.1\r\nHo" : "");
  }
  int blocked = Connect(server.port());
  ASSERT_TRUE(SendAll(blocked, Get("/block")));
  ASSERT_TRUE(server.gate.AwaitWaiting(1));
  double took = server.Stop();
  EXPECT_LT(took, 2.0);
  EXPECT_EQ(server.server().Busy(), 1u) << "the blocked handler is still running";
  for (int fd : clients) {
    EXPECT_EQ(ReadToClose(fd, 1000), "");
    EXPECT_TRUE(PeerClosed(fd));
    close(fd);
  }
  EXPECT_EQ(ReadToClose(blocked, 1000), "") << "an answer made after the stop is never sent";
  server.gate.Open();
  close(blocked);
}

TEST(HttpTransport, TheCapIsLoweredToFitTheFilesTheProcessMayOpen) {
  // A server in a process of its own that may open 300 files: 128 are kept
  // for images and the module, 64 for refusals, so 108 connections fit.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    rlimit few{300, 300};
    setrlimit(RLIMIT_NOFILE, &few);
    HttpServer server([](const HttpRequest &, HttpResponse &res) { res.body = "ok"; },
                      HttpLimits());
    std::string error;
    int port = server.Listen("127.0.0.1", 0, &error);
    if (write(ready[1], &port, sizeof port) != sizeof port) _exit(1);
    server.Run();
    _exit(0);
  }
  int port = 0;
  ASSERT_EQ(read(ready[0], &port, sizeof port), (ssize_t)sizeof port);
  close(ready[0]);
  close(ready[1]);
  ASSERT_GT(port, 0);
  std::vector<int> held;
  int refusedAt = -1;
  for (int i = 0; i < 200 && refusedAt < 0; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Get("/")));
    std::vector<Response> got = Read(fd, 1, 3000);
    ASSERT_EQ(got.size(), 1u) << "connection " << i << " got no answer";
    if (got[0].status == 503) refusedAt = i;
    held.push_back(fd);
  }
  EXPECT_EQ(refusedAt, 108);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  for (int fd : held) close(fd);
}
