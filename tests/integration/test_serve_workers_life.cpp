// rhl serve's view workers over their life: tiles byte for byte those made
// in the server's own process, options, and a stop (or a server killed)
// leaving no worker behind.
#include <sched.h>
#include <signal.h>
#include <string.h>

#include <gtest/gtest.h>

#include "serve_workers_fixture.h"

using namespace serve_workers;

TEST_F(ServeWorkers, TilesFromWorkersAreByteForByteTheTilesMadeInProcess) {
  std::vector<std::string> paths;
  // Both images are 700 x 500: levels 0 to 2.
  for (const char *id : {"a", "b"})
    for (int z = 0; z <= 2; ++z)
      for (int x = 0; x * (256 << (2 - z)) < 700; ++x)
        for (int y = 0; y * (256 << (2 - z)) < 500; ++y)
          paths.push_back("/tiles/" + std::string(id) + "/" + std::to_string(z) + "/" +
                          std::to_string(x) + "/" + std::to_string(y) + ".png");
  std::vector<std::string> made;
  {
    Served local({"--workers", "0", a_, b_});
    ASSERT_GT(local.port(), 0) << local.err();
    EXPECT_NE(local.out().find("views in this process, one at a time"), std::string::npos);
    EXPECT_TRUE(Children(local.pid()).empty());
    for (const std::string &path : paths) {
      httplib::Result res = local.Get(path);
      ASSERT_TRUE(res);
      ASSERT_EQ(res->status, 200) << path;
      made.push_back(res->body);
    }
  }
  for (int workers : {1, 2}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    Served server({"--workers", std::to_string(workers), a_, b_});
    ASSERT_GT(server.port(), 0) << server.err();
    // Three clients at once, each through the paths in its own order.
    std::vector<std::future<int>> clients;
    for (size_t t = 0; t < 3; ++t) {
      clients.push_back(std::async(std::launch::async, [&, t] {
        httplib::Client client("127.0.0.1", server.port());
        int wrong = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
          size_t k = (i * (2 * t + 1) + t) % paths.size();
          httplib::Result res = client.Get(paths[k].c_str());
          wrong += !res || res->status != 200 || res->body != made[k];
        }
        return wrong;
      }));
    }
    for (auto &client : clients) EXPECT_EQ(client.get(), 0);
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
  }
}

TEST_F(ServeWorkers, AStopLeavesNoWorkerBehind) {
  struct Case {
    int signal;
    bool holding;  // a view held in a worker at the time
    int status;    // rhl serve's exit status (-1: ended by the signal)
  } cases[] = {
      {SIGTERM, false, 0},
      {SIGINT, true, 0},
      {SIGKILL, false, -1},
      {SIGKILL, true, -1},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.holding ? ", holding a view" : ""));
    std::string tag = std::to_string(n++), link, image = Troubled("hold", tag, &link);
    Served server({"--module", kSeam, "--workers", "3", link, a_});
    ASSERT_GT(server.port(), 0) << server.err();
    std::set<pid_t> workers = ChildrenOnceThereAre(server.pid(), 4);  // and the spare
    ASSERT_EQ(workers.size(), 4u);
    std::future<httplib::Result> held;
    if (c.holding) {
      held = Fetch(server.port(), "/tiles/hold" + tag + "/0/0/0.png");
      ASSERT_GT(Holder(image), 0);
    }
    EXPECT_EQ(server.Stop(c.signal), c.status) << server.err();
    for (pid_t worker : workers) EXPECT_TRUE(EndsWithin(worker, 10)) << "worker " << worker;
    if (c.holding) {
      httplib::Result res = held.get();
      EXPECT_TRUE(!res || res->status != 200);
    }
  }
}

TEST_F(ServeWorkers, WorkerOptionsAreCheckedAndTheWorkersEntryIsNotForHands) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string said;
  } cases[] = {
      {{"serve", a_, "--workers", "-1"}, 2, "--workers"},
      {{"serve", a_, "--workers", "257"}, 2, "--workers"},
      {{"serve", a_, "--workers", "two"}, 2, "--workers"},
      {{"serve", a_, "--view-timeout", "0"}, 2, "--view-timeout"},
      {{"serve", a_, "--view-timeout", "soon"}, 2, "--view-timeout"},
      {{"--serve-view-worker"}, 2, "--serve-view-worker is rhl serve's own"},
      {{"--serve-view-worker", "1"}, 2, "--serve-view-worker is rhl serve's own"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    Outcome r = RunRhl(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  }
  Outcome help = RunRhl({"serve", "--help"});
  EXPECT_NE(help.out.find("--workers"), std::string::npos);
  EXPECT_NE(help.out.find("--view-timeout"), std::string::npos);
  EXPECT_EQ(help.out.find("--serve-view-worker"), std::string::npos);

  // By default, one worker a core, and the spare.
  Served server({a_});
  ASSERT_GT(server.port(), 0) << server.err();
  const std::string said = "views in ";
  size_t at = server.out().find(said);
  ASSERT_NE(at, std::string::npos) << server.out();
  int count = atoi(server.out().c_str() + at + said.size());
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  EXPECT_EQ(count, CPU_COUNT(&cpus));
  EXPECT_NE(server.out().find(" and a spare, 30 s at most each"), std::string::npos);
  EXPECT_EQ(ChildrenOnceThereAre(server.pid(), (size_t)count + 1).size(), (size_t)count + 1);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}
