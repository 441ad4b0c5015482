// rhl serve's views in worker processes, with real processes throughout: the
// server started as a user starts it, its workers found among its children
// in /proc, views held or crashed by the seam module.
#include <signal.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "serve_workers_fixture.h"

using namespace serve_workers;

TEST_F(ServeWorkers, AViewThatBlocksHoldsUpNoOtherImage) {
  for (int workers : {1, 2}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    std::string link, image = Troubled("hold", std::to_string(workers), &link);
    std::string id = "hold" + std::to_string(workers);
    Served server({"--module", kSeam, "--workers", std::to_string(workers), link, a_, b_});
    ASSERT_GT(server.port(), 0) << server.err();
    // One view of the held image more than there are workers: it takes
    // every worker, and the last view waits; the spare is the others'.
    std::vector<std::future<httplib::Result>> held;
    for (int i = 0; i <= workers; ++i)
      held.push_back(Fetch(server.port(), "/tiles/" + id + "/2/" + std::to_string(i) + "/0.png"));
    ASSERT_GT(Holder(image), 0) << server.err();
    OthersAnswer(server);
    for (auto &request : held) EXPECT_TRUE(Pending(request)) << "a held view answered";
    Release(image);
    for (auto &request : held) {
      httplib::Result res = request.get();
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200) << res->body;
    }
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
  }
}

TEST_F(ServeWorkers, AWorkerThatDiesCostsItsViewAloneAndIsReplaced) {
  struct Case {
    const char *word;  // what the seam does
    bool killed;       // the test kills the worker holding the view
    std::string reason;
  } cases[] = {
      {"hold", true, "the view worker ended by signal 9 (Killed) during the view"},
      {"crash", false, "the view worker ended by signal 6 (Aborted) during the view"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.word);
    std::string link, image = Troubled(c.word, "dies", &link);
    std::string id = std::string(c.word) + "dies";
    Served server({"--module", kSeam, "--workers", "1", link, a_, b_});
    ASSERT_GT(server.port(), 0) << server.err();
    std::set<pid_t> before = ChildrenOnceThereAre(server.pid(), 2);  // one and the spare
    ASSERT_EQ(before.size(), 2u);
    const std::string tile = "/tiles/" + id + "/2/1/1.png";
    auto request = Fetch(server.port(), tile);
    pid_t dead = -1;
    if (c.killed) {
      dead = Holder(image);
      ASSERT_EQ(before.count(dead), 1u);
      ASSERT_EQ(kill(dead, SIGKILL), 0);
    }
    httplib::Result res = request.get();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_NE(res->body.find(c.reason), std::string::npos) << res->body;
    std::string log = server.LogOnceItSays("rhl serve: GET " + tile + ": 500 ");
    EXPECT_NE(log.find(c.reason), std::string::npos) << log;

    // The count restored, by a new worker; the others' views go on.
    std::set<pid_t> after = ChildrenOnceThereAre(server.pid(), 2);
    EXPECT_EQ(after.size(), 2u);
    std::vector<pid_t> gone;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(gone));
    ASSERT_EQ(gone.size(), 1u);
    if (c.killed) {
      EXPECT_EQ(gone[0], dead);
    }
    EXPECT_TRUE(HasEnded(gone[0]));
    OthersAnswer(server);
    if (c.killed) {
      Release(image);
      res = server.Get(tile);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200) << res->body;
    }
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
  }
}

TEST_F(ServeWorkers, AViewPastItsDeadlineGets504AndItsWorkerIsReplaced) {
  std::string link, image = Troubled("hold", "late", &link);
  Served server({"--module", kSeam, "--workers", "1", "--view-timeout", "1", link, a_});
  ASSERT_GT(server.port(), 0) << server.err();
  EXPECT_NE(server.out().find("views in 1 worker process and a spare, 1 s at most each"),
            std::string::npos)
      << server.out();
  std::set<pid_t> before = ChildrenOnceThereAre(server.pid(), 2);
  const std::string tile = "/tiles/holdlate/1/0/0.png";
  httplib::Result res = server.Get(tile);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 504);
  EXPECT_NE(res->body.find("the view took longer than 1 s (--view-timeout): its worker was "
                           "ended and another starts"),
            std::string::npos)
      << res->body;
  EXPECT_NE(server.LogOnceItSays("rhl serve: GET " + tile + ": 504 ").find("longer than 1 s"),
            std::string::npos);
  pid_t holder = Holder(image);
  EXPECT_EQ(before.count(holder), 1u);
  EXPECT_TRUE(EndsWithin(holder, 10));
  std::set<pid_t> after = ChildrenOnceThereAre(server.pid(), 2);
  EXPECT_EQ(after.size(), 2u);
  EXPECT_EQ(after.count(holder), 0u);
  for (const char *other : {"/tiles/a/2/0/0.png", "/tiles/a/1/1/0.png"}) {
    res = server.Get(other);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << other;
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWorkers, WhileNoWorkerCanStartViewsWaitTillTheirDeadlineAndServingGoesOn) {
  // A module that vanishes after the start: no new worker can load it.
  std::string module = TempDir() + "/moving.RHL";
  {
    std::ofstream(module, std::ios::binary) << ReadAll(kSeam);
  }
  Served server({"--module", module, "--workers", "1", "--view-timeout", "1", a_});
  ASSERT_GT(server.port(), 0) << server.err();
  std::set<pid_t> workers = ChildrenOnceThereAre(server.pid(), 2);
  ASSERT_EQ(workers.size(), 2u);
  httplib::Result res = server.Get("/tiles/a/0/0/0.png");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);

  ASSERT_EQ(rename(module.c_str(), (module + ".away").c_str()), 0);
  for (pid_t worker : workers) ASSERT_EQ(kill(worker, SIGKILL), 0);
  std::string log = server.LogOnceItSays("as it started");
  EXPECT_NE(log.find("rhl serve: view worker " + std::to_string(*workers.begin()) +
                     " ended by signal 9 (Killed) while idle; another starts"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("rhl serve: a view worker cannot load the module: "), std::string::npos)
      << log;
  EXPECT_NE(log.find("rhl serve: a view worker exited with status 1 as it started"),
            std::string::npos)
      << log;
  res = server.Get("/tiles/a/1/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 504);
  EXPECT_NE(res->body.find("no view worker came free within 1 s (--view-timeout); the last one "
                           "to start failed: a view worker exited with status 1 as it started"),
            std::string::npos)
      << res->body;
  res = server.Get("/api/images");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);

  // Back: a worker starts again, within a second or so of trying.
  ASSERT_EQ(rename((module + ".away").c_str(), module.c_str()), 0);
  int status = 0;
  for (int i = 0; i < 60 && status != 200; ++i) {
    res = server.Get("/tiles/a/1/0/0.png");
    status = res ? res->status : 0;
  }
  EXPECT_EQ(status, 200);
  EXPECT_EQ(ChildrenOnceThereAre(server.pid(), 2).size(), 2u);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWorkers, AnImageANewWorkerCannotOpenIsRefusedUntilItCanBeOpenedAgain) {
  Fixture fixture;
  std::string image = Make("c.tif", fixture);
  std::string link = Link("c.url", image);
  Served server({"--workers", "1", a_, link});
  ASSERT_GT(server.port(), 0) << server.err();
  std::set<pid_t> workers = ChildrenOnceThereAre(server.pid(), 2);
  ASSERT_EQ(workers.size(), 2u);
  ASSERT_EQ(rename(image.c_str(), (image + ".away").c_str()), 0);
  for (pid_t worker : workers) ASSERT_EQ(kill(worker, SIGKILL), 0);
  for (pid_t worker : workers) ASSERT_TRUE(EndsWithin(worker, 10));
  ASSERT_EQ(ChildrenOnceThereAre(server.pid(), 2).size(), 2u);
  // The new worker has tried, and logged why it could not.
  std::string log = server.LogOnceItSays("rhl: could not open '" + link + "'");
  EXPECT_NE(log.find("rhl: could not open '" + link + "'"), std::string::npos) << log;

  httplib::Result res = server.Get("/tiles/c/0/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);
  EXPECT_NE(res->body.find("the view worker could not open '" + link + "' (the log says why)"),
            std::string::npos)
      << res->body;
  res = server.Get("/tiles/a/0/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  ASSERT_EQ(rename((image + ".away").c_str(), image.c_str()), 0);
  res = server.Get("/tiles/c/0/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

