// Views in worker processes: each worker is rhl itself, started afresh, with
// its own module (whose static state is per process) and the images open in
// it; it makes one view at a time. A view that overruns its deadline, or a
// worker that dies under it, costs that view alone: the worker is ended and
// another started in its place.
//
// Who gets a worker: views wait for an idle worker in the order they came.
// There are `count` workers and a spare: a view takes an idle worker while
// fewer than `count` are busy, or, when `count` are, if no other view of its
// image is in progress. So one image's views use every worker when alone,
// yet hold at most `count`: however long they take, a view of an image with
// none in progress finds the spare.
#ifndef RHL_HOST_WEB_WORKERS_H
#define RHL_HOST_WEB_WORKERS_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "views.h"

namespace rhl {
namespace web {

struct WorkerOptions {
  std::string modulePath;
  // Image i is files[i], opened in each worker as the host opens it; "" for
  // an image the workers leave alone (its views are refused).
  std::vector<std::string> files;
  int count = 2;  // and one spare
  // The program run as a worker, with kWorkerArgument and this process's
  // id: rhl itself.
  std::string program = "/proc/self/exe";
  // How long a view may run in its worker, and how long a view may wait
  // for a worker to come free.
  double viewSeconds = 30;
};

// The number of workers when none is asked for: one a core this process
// may run on.
int DefaultWorkerCount();

class WorkerViews : public ViewService {
 public:
  explicit WorkerViews(WorkerOptions options);
  ~WorkerViews() override;
  WorkerViews(const WorkerViews &) = delete;
  WorkerViews &operator=(const WorkerViews &) = delete;

  // Starts the workers and waits until each has opened the images; false
  // with the reason when one could not start.
  bool Start(std::string *error);
  ViewPixels View(size_t image, const ViewRequest &request) override;
  // Ends every worker: views in progress get half a second, then fail;
  // later views are refused. Returns once no worker is left running.
  void Stop();

 private:
  using Clock = frames::Clock;
  struct Worker;
  using WorkerPtr = std::shared_ptr<Worker>;
  struct Waiter {
    size_t image;
    WorkerPtr worker;  // handed over by Dispatch
  };
  struct Dying {
    pid_t pid;
    Clock::time_point killAt;  // SIGKILL from then on, if it has not ended
    bool report;               // say how it ended
  };

  // An idle worker for a view of `image`, waiting until `deadline`; null
  // with the reason in *why (and *timedOut when the deadline passed).
  WorkerPtr Acquire(size_t image, Clock::time_point deadline, std::string *why, bool *timedOut);
  // Back to idle after a view.
  void Release(const WorkerPtr &worker, size_t image);
  // Out of the pool, for good: another starts in its place.
  void Retire(const WorkerPtr &worker, size_t image);
  // How a worker whose connection failed ended, once it has (waiting a
  // moment); it is reaped, or left to the supervisor killed.
  std::string Ended(Worker &worker);
  // With the lock held: idle workers to the longest-waiting views the rule
  // above allows.
  void Dispatch();
  WorkerPtr TakeIdle(size_t image);
  int Processes() const { return options_.count + 1; }

  // The supervisor's thread: starts workers (so that each worker's parent
  // is this thread, which lives as long as the service), takes their
  // readiness, notices idle workers that end, reaps the ended.
  void Supervise();
  WorkerPtr Spawn(std::string *error);
  bool TakeReady(Worker &worker, std::string *error);
  void StartFailed(const std::string &error);
  // With the lock held: reaps the ended workers, ends those past their
  // time; with `wait`, until none is left (the lock let go meanwhile).
  void ReapDying(std::unique_lock<std::mutex> &lock, bool wait);
  void Wake();

  WorkerOptions options_;
  int busy_ = 0;  // workers making a view
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<WorkerPtr> pool_;  // starting, idle and busy
  std::deque<Waiter *> waiting_;
  std::vector<int> busyOn_;  // per image
  std::vector<Dying> dying_;
  bool started_ = false, stopping_ = false, finished_ = false;
  int startFailures_ = 0;  // ever
  int failingStarts_ = 0;  // since a worker last started
  std::string lastStartError_;
  Clock::time_point nextStart_{};
  int wake_[2] = {-1, -1};
  std::thread supervisor_;
};

}  // namespace web
}  // namespace rhl

#endif
