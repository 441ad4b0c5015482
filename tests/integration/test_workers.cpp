// The view workers' service driven directly, its workers a fake that speaks
// the protocol as each test tells it to (fake_view_worker): what a worker
// that cannot start, answers wrongly, says nothing or hangs up costs, who
// gets a worker, and a stop.
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "serve_support.h"
#include "workers.h"

using namespace rhl;
using namespace rhl::web;
using serve_support::Children;
using serve_support::ChildrenOnceThereAre;
using serve_support::EndsWithin;

namespace {

// Images 0 and 2 served, 1 not.
WorkerOptions Options(const std::string &mode, int count, double seconds = 30) {
  setenv("FAKE_VIEW_WORKER", mode.c_str(), 1);
  WorkerOptions options;
  options.modulePath = "not loaded by the fake";
  options.files = {"zero.url", "", "two.url"};
  options.count = count;
  options.viewSeconds = seconds;
  options.program = FAKE_VIEW_WORKER_PATH;
  return options;
}

ViewRequest Tile() { return ScaledView({0, 0, 256, 256}, 1.0); }

bool Reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Whether, of the workers `before`, one has ended and another stands in its
// place (within 10 s).
bool OneReplaced(const std::set<pid_t> &before) {
  for (int i = 0; i < 200; ++i) {
    std::set<pid_t> now = Children(getpid());
    size_t kept = 0;
    for (pid_t pid : before) kept += now.count(pid);
    if (now.size() == before.size() && kept == before.size() - 1) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

TEST(Workers, AWorkerThatCannotStartFailsTheStartWithItsReason) {
  struct Case {
    std::string mode, program, error;
  } cases[] = {
      {"exit", FAKE_VIEW_WORKER_PATH, "a view worker exited with status 3 as it started"},
      {"good", "/nonexistent/worker", "cannot start a view worker: No such file or directory"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.error);
    {
      WorkerOptions options = Options(c.mode, 2);
      options.program = c.program;
      WorkerViews views(options);
      std::string error;
      EXPECT_FALSE(views.Start(&error));
      EXPECT_EQ(error, c.error);
    }
    EXPECT_TRUE(Children(getpid()).empty());
  }
}

TEST(Workers, AGoodWorkersViewsAndTheViewsNoWorkerIsAskedFor) {
  WorkerViews views(Options("good", 2));
  std::string error;
  ASSERT_TRUE(views.Start(&error)) << error;
  EXPECT_EQ(Children(getpid()).size(), 3u);  // and the spare
  for (size_t image : {0, 2}) {
    ViewPixels view = views.View(image, Tile());
    EXPECT_EQ(view.status, ViewPixels::kMade) << view.error;
    EXPECT_EQ(view.width, 256);
    EXPECT_EQ(view.height, 256);
    EXPECT_EQ(view.rgb, std::vector<uint8_t>(256 * 256 * 3, 7));
  }
  struct Case {
    size_t image;
    ViewRequest request;
    std::string error;
  } cases[] = {
      {1, Tile(), "no image 1"},
      {3, Tile(), "no image 3"},
      {0, ScaledView({10, 10, 10, 20}, 1.0), "the view holds no pixels"},
  };
  for (const Case &c : cases) {
    ViewPixels view = views.View(c.image, c.request);
    EXPECT_EQ(view.status, ViewPixels::kFailed);
    EXPECT_EQ(view.error, c.error);
    EXPECT_TRUE(view.rgb.empty());
  }
}

TEST(Workers, AWorkerThatAnswersWronglyLateOrNotAtAllIsEndedAndAnotherStarts) {
  const std::string wrong = "the view worker's answer was not this view; the worker was ended";
  struct Case {
    std::string mode;
    ViewPixels::Status status;
    std::string error;
  } cases[] = {
      {"misfit", ViewPixels::kFailed, wrong},
      {"short", ViewPixels::kFailed, wrong},
      {"unknown", ViewPixels::kFailed, wrong},
      {"huge", ViewPixels::kFailed, wrong},
      {"kind", ViewPixels::kFailed, wrong},
      {"hangup", ViewPixels::kFailed, "the view worker closed its connection during the view"},
      {"silent", ViewPixels::kTimedOut,
       "the view took longer than 0.3 s (--view-timeout): its worker was ended and another "
       "starts"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    WorkerViews views(Options(c.mode, 1, 0.3));
    std::string error;
    ASSERT_TRUE(views.Start(&error)) << error;
    std::set<pid_t> before = Children(getpid());
    ASSERT_EQ(before.size(), 2u);  // one and the spare
    ViewPixels view = views.View(2, Tile());
    EXPECT_EQ(view.status, c.status);
    EXPECT_EQ(view.error, c.error);
    EXPECT_TRUE(view.rgb.empty());
    if (c.status == ViewPixels::kTimedOut) {
      EXPECT_GE(view.viewMs, 300);
    }
    EXPECT_TRUE(OneReplaced(before));
  }
}

TEST(Workers, OneImageTakesEveryWorkerButNeverTheSpare) {
  // Views of image 0 are never answered; two workers and the spare.
  WorkerViews views(Options("silent0", 2, 2));
  std::string error;
  ASSERT_TRUE(views.Start(&error)) << error;
  std::vector<std::future<ViewPixels>> held;
  for (int i = 0; i < 3; ++i)
    held.push_back(std::async(std::launch::async, [&] { return views.View(0, Tile()); }));
  for (int i = 0; i < 5; ++i) {
    ViewPixels other = views.View(2, Tile());
    EXPECT_EQ(other.status, ViewPixels::kMade) << other.error;
  }
  for (auto &view : held)
    EXPECT_EQ(view.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  // Two of image 0's views ran, on both workers, until their deadline; the
  // third waited, for a worker or until its own deadline.
  int ran = 0;
  for (auto &view : held) {
    ViewPixels late = view.get();
    EXPECT_EQ(late.status, ViewPixels::kTimedOut);
    ran += late.error.rfind("the view took longer than 2 s", 0) == 0;
  }
  EXPECT_GE(ran, 2);
}

TEST(Workers, AStopEndsAndReapsEveryWorkerAndRefusesLaterViews) {
  for (bool viewing : {false, true}) {
    SCOPED_TRACE(viewing ? "a view in progress" : "idle");
    WorkerViews views(Options("silent", 3));
    std::string error;
    ASSERT_TRUE(views.Start(&error)) << error;
    std::set<pid_t> workers = Children(getpid());
    ASSERT_EQ(workers.size(), 4u);
    std::future<ViewPixels> view;
    if (viewing) view = std::async(std::launch::async, [&] { return views.View(0, Tile()); });
    if (viewing) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // most likely sent
    views.Stop();
    if (viewing) {
      ViewPixels ended = view.get();
      EXPECT_EQ(ended.status, ViewPixels::kFailed);
      EXPECT_TRUE(ended.error == "the view worker ended by signal 9 (Killed) during the view" ||
                  ended.error == "rhl serve is stopping")
          << ended.error;
    }
    for (pid_t worker : workers) EXPECT_TRUE(Reaped(worker)) << worker;
    ViewPixels later = views.View(0, Tile());
    EXPECT_EQ(later.status, ViewPixels::kFailed);
    EXPECT_EQ(later.error, "rhl serve is stopping");
  }
}
