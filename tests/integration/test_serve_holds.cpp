// rhl serve against the clients that once stopped or bloated it, as real
// clients over loopback: heads sent a byte at a time, connections held
// idle, thousands of ranges, bodies where none is due, pipelined requests,
// foreign Host names, more connections than it takes, and a stop with all
// of them held.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "fixtures.h"
#include "raw_client.h"
#include "serve_support.h"

using namespace fixtures;
using namespace serve_support;
using namespace raw_client;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
  return -1;
}

// Connections that hold the server: `idle` that send nothing and `slow`
// that send a head a byte every 200 ms (which never ends: its padding is
// long), until destroyed.
class Holders {
 public:
  Holders(int port, int idle, int slow) {
    for (int i = 0; i < idle; ++i) idle_.push_back(Connect(port));
    for (int i = 0; i < slow; ++i) slow_.push_back(Connect(port));
    head_ = Get("/api/images", "localhost", "X-Padding: " + std::string(4000, 'p') + "\r\n");
    trickler_ = std::thread([this] {
      for (size_t at = 0; !done_ && at < head_.size(); ++at) {
        for (int fd : slow_) send(fd, &head_[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int i = 0; i < 20 && !done_; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~Holders() {
    done_ = true;
    trickler_.join();
    for (int fd : idle_) close(fd);
    for (int fd : slow_) close(fd);
  }
  // Connections made that the server has not closed.
  int Open() const {
    int open = 0;
    for (const auto *list : {&idle_, &slow_})
      for (int fd : *list) open += fd >= 0 && !PeerClosed(fd);
    return open;
  }

 private:
  std::vector<int> idle_, slow_;
  std::string head_;
  std::atomic<bool> done_{false};
  std::thread trickler_;
};

class Holds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RaiseFileLimit();
    Fixture fixture;
    fixture.width = 1003;
    fixture.height = 701;
    fixture.overviews = true;
    link_ = Link("hold.url", Make("hold.tif", fixture));
  }
  static std::string link_;
};
std::string Holds::link_;

const std::vector<std::string> kTiles = {"/tiles/hold/0/0/0.png", "/tiles/hold/1/0/0.png",
                                         "/tiles/hold/1/1/1.png", "/tiles/hold/2/3/2.png",
                                         "/tiles/hold/2/1/1.png", "/api/images"};

}  // namespace

TEST_F(Holds, SlowHeadsAndIdleConnectionsLeaveEveryTileAnsweredWithinASecond) {
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  Holders holders(server.port(), 500, 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the trickle has begun
  EXPECT_EQ(holders.Open(), 550);
  httplib::Client kept("127.0.0.1", server.port());
  kept.set_keep_alive(true);
  for (int round = 0; round < 3; ++round) {
    for (const std::string &path : kTiles) {
      SCOPED_TRACE(path);
      auto start = Clock::now();
      Response fresh = Fetch(server.port(), Get(path));  // a new connection each time
      EXPECT_EQ(fresh.status, 200);
      EXPECT_LT(Since(start), 1.0);
      start = Clock::now();
      httplib::Result res = kept.Get(path.c_str());  // and one kept alive
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200);
      EXPECT_LT(Since(start), 1.0);
    }
  }
  int held = holders.Open();
  EXPECT_GT(held, 0) << "the tiles were fetched while the connections were held";
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Holds, ASoftLimitOfOpenFilesBelowTheCapIsRaisedToTheHardOne) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1300)
    GTEST_SKIP() << "the hard limit of open files is " << limit.rlim_max;
  rlimit low = limit;
  low.rlim_cur = 256;  // as a shell's ulimit -Sn 256 leaves it
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  Served server({link_});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GT(server.port(), 0) << server.err();
  Holders holders(server.port(), 600, 0);
  Response r = Fetch(server.port(), Get(kTiles[0]));
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(holders.Open(), 600);
  EXPECT_EQ(server.err().find("at most"), std::string::npos) << server.err();
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Holds, ThousandsOfRangesAndBodiesWhereNoneIsDueCostNoMemory) {
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  Response whole = Fetch(server.port(), Get(kTiles[0]));
  ASSERT_EQ(whole.status, 200);
  for (const std::string &path : kTiles) Fetch(server.port(), Get(path));  // warm
  long before = RssKiB(server.pid());

  // 8 at once, each with 2 700 overlapping ranges: the whole tile, once.
  std::string ranges = "Range: bytes=0-";
  for (int i = 0; i < 2700; ++i) ranges += ",0-";
  std::vector<Response> ranged(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ranged.size(); ++i)
    threads.emplace_back(
        [&, i] { ranged[i] = Fetch(server.port(), Get(kTiles[0], "localhost", ranges + "\r\n")); });
  for (std::thread &t : threads) t.join();
  for (const Response &r : ranged) {
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers.count("content-range"), 0u);
    EXPECT_EQ(r.body, whole.body);
  }

  // 1 GiB bodies, announced and chunked, to routes that take none.
  struct Case {
    std::string head;
    bool chunked;
  } cases[] = {
      {"POST /api/images HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1073741824\r\n\r\n", false},
      {"PUT /tiles/hold/0/0/0.png HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
       "1073741824\r\n\r\n",
       false},
      {"GET /api/images HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1073741824\r\n\r\n", false},
      {"POST /api/images HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.head.substr(0, 40));
    int fd = Connect(server.port());
    size_t sent = 0;
    Response r = SendBody(fd, c.head, (size_t)1 << 30, c.chunked, 10000, &sent);
    close(fd);
    EXPECT_EQ(r.status, 413);
    EXPECT_NE(r.body.find("takes no request body"), std::string::npos) << r.body;
    EXPECT_LT(sent, (size_t)64 << 20) << "the server stopped taking the body";
  }
  long after = RssKiB(server.pid());
  EXPECT_LT(after - before, 50 * 1024) << before << " KiB before, " << after << " KiB after";
  EXPECT_EQ(Fetch(server.port(), Get(kTiles[0])).body, whole.body) << "still serving";
  std::string log = server.LogOnceItSays("413");
  EXPECT_NE(log.find("rhl serve: POST /api/images: 413 this server takes no request body"),
            std::string::npos)
      << log;
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Holds, EitherStopSignalEndsTheServerWithinTwoSecondsWhateverItsClientsHold) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    Served server({link_});
    ASSERT_GT(server.port(), 0) << server.err();
    Holders holders(server.port(), 500, 50);
    int kept = Connect(server.port());
    ASSERT_TRUE(SendAll(kept, Get(kTiles[0])));
    ASSERT_EQ(Read(kept, 1, 5000).size(), 1u);
    int sending = Connect(server.port());
    ASSERT_TRUE(SendAll(sending, Get(kTiles[1]).substr(0, 20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto start = Clock::now();
    EXPECT_EQ(server.Stop(signal), 0) << server.err();
    EXPECT_LT(Since(start), 2.0);
    EXPECT_NE(server.out().find("rhl serve: stopped\n"), std::string::npos) << server.out();
    EXPECT_EQ(holders.Open(), 0);
    close(kept);
    close(sending);
  }
}

TEST_F(Holds, PipelinedRequestsInOneWriteGetTheirAnswersInOrder) {
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  std::vector<std::string> paths(kTiles.rbegin(), kTiles.rbegin() + 5);
  std::string batch;
  std::vector<std::string> alone;
  for (const std::string &path : paths) {
    batch += Get(path);
    alone.push_back(Fetch(server.port(), Get(path)).body);
    ASSERT_FALSE(alone.back().empty()) << path;
  }
  int fd = Connect(server.port());
  ASSERT_TRUE(SendAll(fd, batch));
  std::vector<Response> got = Read(fd, paths.size(), 10000);
  close(fd);
  ASSERT_EQ(got.size(), paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(got[i].status, 200) << paths[i];
    EXPECT_EQ(got[i].body, alone[i]) << "answer " << i << " is not that of " << paths[i];
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Holds, OnLoopbackOnlyLoopbackHostNamesAreAnsweredAndBoundElsewhereAny) {
  Served local({link_});
  Served anywhere({link_, "--bind", "0.0.0.0"});
  ASSERT_GT(local.port(), 0) << local.err();
  ASSERT_GT(anywhere.port(), 0) << anywhere.err();
  EXPECT_NE(anywhere.out().find("REACHABLE FROM OTHER MACHINES"), std::string::npos);
  std::string port = std::to_string(local.port());
  struct Case {
    std::string host;
    bool loopback;
  } cases[] = {
      {"localhost:" + port, true},
      {"127.0.0.1:" + port, true},
      {"[::1]:" + port, true},
      {"127.0.0.1", true},
      {"attacker.example:" + port, false},
      {"attacker.example", false},
      {"localhost.attacker.example", false},
      {"192.168.1.10:" + port, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.host);
    Response r = Fetch(local.port(), Get("/api/images", c.host));
    EXPECT_EQ(r.status, c.loopback ? 200 : 403);
    if (!c.loopback) {
      EXPECT_NE(r.body.find("localhost only, not for '" + c.host + "'"), std::string::npos)
          << r.body;
      EXPECT_EQ(r.body.find("\"images\""), std::string::npos);
    }
    EXPECT_EQ(Fetch(anywhere.port(), Get("/api/images", c.host)).status, 200);
  }
  std::string said =
      "rhl serve: GET /api/images: 403 this server answers requests for localhost "
      "only, not for 'attacker.example'";
  std::string log = local.LogOnceItSays(said);
  EXPECT_NE(log.find(said), std::string::npos) << log;
}

TEST_F(Holds, BeyondTheConnectionCapA503ComesAtOnce) {
  Served server({link_, "--max-connections", "20"});
  ASSERT_GT(server.port(), 0) << server.err();
  std::vector<int> held;
  for (int i = 0; i < 20; ++i) held.push_back(Connect(server.port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 5; ++i) {
    auto start = Clock::now();
    Response r = Fetch(server.port(), Get(kTiles[0]));
    EXPECT_LT(Since(start), 1.0);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.headers["retry-after"], "1");
    EXPECT_NE(r.body.find("too many open connections (at most 20)"), std::string::npos) << r.body;
  }
  std::string log = server.LogOnceItSays(": 503 too many open connections (at most 20)");
  EXPECT_NE(log.find(": 503 too many open connections (at most 20)"), std::string::npos) << log;
  for (int fd : held) close(fd);
  Response r;
  for (int i = 0; i < 50 && r.status != 200; ++i) {
    r = Fetch(server.port(), Get(kTiles[0]));
    if (r.status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(r.status, 200) << "served again once connections close";
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();

  Outcome none = RunRhl({"serve", link_, "--max-connections", "0"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("--max-connections"), std::string::npos) << none.err;
}

TEST_F(Holds, NoRawByteOfARequestReachesAnAnswersBodyOrTheLog) {
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  struct Case {
    std::string request, logged;
  } cases[] = {
      {Get("/tiles/%00%0a%1b[2J/0/0/0.png"),
       "GET /tiles/\\x00\\n\\x1b[2J/0/0/0.png: 404 no image '\\x00\\n\\x1b[2J'"},
      {Get("/%0d%0aSet-Cookie:%20x"), "GET /\\r\\nSet-Cookie: x: 404"},
      {Get("/api/images", "\xe9vil.example"), "GET /api/images: 403"},
      {"DELETE /%ff%00 HTTP/1.1\r\nHost: localhost\r\n\r\n", "DELETE /%ff%00: 405"},
      // Names a service echoes when it has no such layer or CRS.
      {Get("/xyz/%00%1b[2J/0/0/0.png"), "GET /xyz/\\x00\\x1b[2J/0/0/0.png: 404"},
      {Get("/xyz/%07%0a.json"), "GET /xyz/\\x07\\n.json: 404"},
      {Get("/api/point?x=0&y=0&crs=%00%1b[2J"), "GET /api/point: 400 crs '"},
      {Get("/api/point?x=0&y=0&crs=pixels:%0d%0a"), "GET /api/point: 400 there is no layer '"},
      {Get("/api/point?x=0&y=0&layers=%1b%7f"), "GET /api/point: 400 there is no layer '"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.logged);
    size_t from = server.err().size();
    Response r = Fetch(server.port(), c.request);
    EXPECT_GE(r.status, 400);
    ASSERT_FALSE(r.body.empty());
    for (size_t i = 0; i + 1 < r.body.size(); ++i)
      EXPECT_TRUE((unsigned char)r.body[i] >= 0x20 && (unsigned char)r.body[i] < 0x7f)
          << "byte " << i << " of " << r.body;
    for (const auto &field : r.headers)
      EXPECT_EQ(field.second.find_first_of("\r\n"), std::string::npos) << field.first;
    EXPECT_EQ(r.headers.count("set-cookie"), 0u);
    std::string log = server.LogOnceItSays(c.logged, from);
    EXPECT_NE(log.find("rhl serve: " + c.logged), std::string::npos) << log;
    for (char ch : log)
      EXPECT_TRUE(ch == '\n' || ((unsigned char)ch >= 0x20 && (unsigned char)ch < 0x7f)) << log;
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}
