// The serving side of the view workers: views handed to idle workers, their
// answers taken by a deadline, workers that fail their view retired, and
// the stop. Starting, watching and reaping workers is the supervisor's
// (supervisor.cpp).
#include "workers.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "worker.h"
#include "workers_impl.h"

namespace rhl {
namespace web {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

}  // namespace

int DefaultWorkerCount() {
  cpu_set_t cpus;
  int cores = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
  if (cores < 1) cores = (int)std::thread::hardware_concurrency();
  return std::max(1, cores);
}

std::string HowItEnded(int status) {
  if (WIFSIGNALED(status))
    return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

WorkerViews::WorkerViews(WorkerOptions options)
    : options_(std::move(options)),
      busyOn_(options_.files.size(), 0) {}

WorkerViews::~WorkerViews() {
  Stop();
  // Views still in progress at the stop have retired their workers by now.
  std::unique_lock<std::mutex> lock(lock_);
  for (const WorkerPtr &worker : pool_) {
    if (worker->pid > 0) {
      kill(worker->pid, SIGKILL);
      dying_.push_back({worker->pid, Clock::now(), false});
      worker->pid = -1;
    }
  }
  pool_.clear();
  ReapDying(lock, true);
  lock.unlock();
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

bool WorkerViews::Start(std::string *error) {
  if (options_.count < 1) {
    *error = "no view workers asked for";
    return false;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  supervisor_ = std::thread([this] { Supervise(); });
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] {
    int idle = 0;
    for (const WorkerPtr &worker : pool_) idle += worker->state == Worker::kIdle;
    return startFailures_ > 0 || idle == Processes();
  });
  if (startFailures_ > 0) {
    *error = lastStartError_;
    return false;
  }
  started_ = true;
  return true;
}

ViewPixels WorkerViews::View(size_t image, const ViewRequest &request) {
  using namespace frames;
  ViewPixels view;
  Clock::time_point start = Clock::now();
  auto elapsedMs = [start] {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  if (image >= options_.files.size() || options_.files[image].empty()) {
    view.error = "no image " + std::to_string(image);
    return view;
  }
  int32_t width = 0, height = 0;
  WindowSize(request, &width, &height);
  if (width < 1 || height < 1) {
    view.error = "the view holds no pixels";
    return view;
  }
  auto limit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options_.viewSeconds));
  // A worker found gone before it took the view is replaced by another, a
  // few times at most.
  for (int attempt = 0;; ++attempt) {
    std::string why;
    bool timedOut = false;
    WorkerPtr worker = Acquire(image, start + limit, &why, &timedOut);
    if (worker == nullptr) {
      view.status = timedOut ? ViewPixels::kTimedOut : ViewPixels::kFailed;
      view.error = why;
      view.viewMs = elapsedMs();
      return view;
    }
    Body ask;
    PutView(&ask, (uint32_t)image, request);
    Clock::time_point deadline = Clock::now() + limit;
    Io io = Send(worker->fd, kView, ask, deadline);
    if (io != Io::kDone) {
      std::string ended = Ended(*worker);
      Retire(worker, image);
      if (attempt < 2) continue;
      view.error = "the view worker " + ended + " before it took the view";
      return view;
    }
    uint32_t kind = 0;
    Body reply;
    io = Receive(worker->fd, &kind, &reply, PixelsLimit(request), deadline);
    if (io == Io::kDone && kind == kPixels && GetPixels(&reply, request, &view)) {
      Release(worker, image);
      return view;
    }
    view = ViewPixels();
    view.viewMs = elapsedMs();
    if (io == Io::kTimedOut) {
      kill(worker->pid, SIGKILL);  // this thread alone reaps it, so the id is still its own
      view.status = ViewPixels::kTimedOut;
      view.error = "the view took longer than " + Seconds(options_.viewSeconds) +
                   " (--view-timeout): its worker was ended and another starts";
    } else if (io == Io::kEnded) {
      view.error = "the view worker " + Ended(*worker) + " during the view";
    } else {
      // Not a view of this request, or larger than one: a worker that says
      // such things is not to be trusted with another.
      kill(worker->pid, SIGKILL);
      view.error = "the view worker's answer was not this view; the worker was ended";
    }
    Retire(worker, image);
    return view;
  }
}

WorkerViews::WorkerPtr WorkerViews::Acquire(size_t image, Clock::time_point deadline,
                                            std::string *why, bool *timedOut) {
  std::unique_lock<std::mutex> lock(lock_);
  Waiter me{image, nullptr};
  waiting_.push_back(&me);
  Dispatch();
  while (me.worker == nullptr && !stopping_) {
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  if (me.worker != nullptr) return me.worker;  // Dispatch took it off the queue
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &me));
  if (stopping_) {
    *why = "rhl serve is stopping";
  } else {
    *timedOut = true;
    *why = "no view worker came free within " + Seconds(options_.viewSeconds) +
           " (--view-timeout)";
    if (!lastStartError_.empty()) *why += "; the last one to start failed: " + lastStartError_;
  }
  return nullptr;
}

void WorkerViews::Dispatch() {
  if (stopping_) return;
  bool handed = false;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    Waiter *waiter = *it;
    if (busy_ >= options_.count && busyOn_[waiter->image] > 0) {  // the spare is not for it
      ++it;
      continue;
    }
    WorkerPtr worker = TakeIdle(waiter->image);
    if (worker == nullptr) break;
    worker->state = Worker::kBusy;
    worker->lastImage = waiter->image;
    ++busy_;
    ++busyOn_[waiter->image];
    waiter->worker = std::move(worker);
    it = waiting_.erase(it);
    handed = true;
  }
  if (handed) changed_.notify_all();
}

WorkerViews::WorkerPtr WorkerViews::TakeIdle(size_t image) {
  // One that last viewed this image has its blocks in its cache.
  WorkerPtr any;
  for (const WorkerPtr &worker : pool_) {
    if (worker->state != Worker::kIdle) continue;
    if (worker->lastImage == image) return worker;
    if (any == nullptr) any = worker;
  }
  return any;
}

void WorkerViews::Release(const WorkerPtr &worker, size_t image) {
  std::lock_guard<std::mutex> lock(lock_);
  --busy_;
  --busyOn_[image];
  worker->state = Worker::kIdle;
  if (stopping_) shutdown(worker->fd, SHUT_RDWR);  // it ends on its own; the stop reaps it
  if (!worker->watched) Wake();                     // to be watched while idle
  Dispatch();
  changed_.notify_all();
}

void WorkerViews::Retire(const WorkerPtr &worker, size_t image) {
  std::lock_guard<std::mutex> lock(lock_);
  --busy_;
  --busyOn_[image];
  pool_.erase(std::remove(pool_.begin(), pool_.end(), worker), pool_.end());
  if (worker->pid > 0) dying_.push_back({worker->pid, Clock::now(), false});
  worker->pid = -1;
  Dispatch();  // one busy fewer: the spare may be for more views now
  changed_.notify_all();
  Wake();  // another starts in its place
}

std::string WorkerViews::Ended(Worker &worker) {
  // A worker's connection closes as it ends: its status comes a moment
  // later. The lock keeps a stop from signalling an id already reaped.
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      int status = 0;
      pid_t ended = waitpid(worker.pid, &status, WNOHANG);
      if (ended == worker.pid) {
        worker.pid = -1;
        return HowItEnded(status);
      }
      if (ended < 0 && errno != EINTR) {
        worker.pid = -1;
        return "ended";
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return "closed its connection";  // Retire leaves it to the supervisor, killed
}

void WorkerViews::Stop() {
  std::unique_lock<std::mutex> lock(lock_);
  if (finished_) return;
  stopping_ = true;
  changed_.notify_all();
  for (const WorkerPtr &worker : pool_)
    if (worker->state != Worker::kBusy) shutdown(worker->fd, SHUT_RDWR);
  changed_.wait_for(lock, std::chrono::milliseconds(500), [this] { return busy_ == 0; });
  // Views still in progress fail now; their threads reap their workers.
  for (const WorkerPtr &worker : pool_)
    if (worker->state == Worker::kBusy && worker->pid > 0) kill(worker->pid, SIGKILL);
  // The others end as their connections close, or are ended after a
  // second: all of them before the supervisor's thread goes, as its going
  // ends them by force.
  Clock::time_point grace = Clock::now() + std::chrono::seconds(1);
  for (auto it = pool_.begin(); it != pool_.end();) {
    if ((*it)->state == Worker::kBusy) {
      ++it;
      continue;
    }
    // A stop leaves an idle worker nothing to finish: it ends now (its
    // parent has not reaped it, so the id is still its own).
    if ((*it)->pid > 0) {
      kill((*it)->pid, SIGTERM);
      dying_.push_back({(*it)->pid, grace, false});
    }
    (*it)->pid = -1;
    it = pool_.erase(it);
  }
  ReapDying(lock, true);
  finished_ = true;
  lock.unlock();
  Wake();
  if (supervisor_.joinable()) supervisor_.join();
}

}  // namespace web
}  // namespace rhl
