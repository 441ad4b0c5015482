// The view workers' supervisor: one thread that starts every worker (rhl
// itself, run afresh, never a copy of this threaded process), takes its
// readiness, notices an idle worker that ends, starts another in the place
// of each that is gone, and reaps the ended.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "worker.h"
#include "workers.h"
#include "workers_impl.h"

extern char **environ;

namespace rhl {
namespace web {
namespace {

// How long a worker may take to load the module and open the images.
constexpr auto kStartLimit = std::chrono::seconds(120);
// After a worker failed to start, the next one waits a second, and twice as
// long after each further failure, up to 8 s, until one starts.
constexpr auto kStartBackoff = std::chrono::seconds(1);
constexpr int kStartBackoffDoublings = 3;
// An idle worker whose connection stirred is given this long to end.
constexpr auto kIdleEndGrace = std::chrono::milliseconds(100);

int MillisecondsUntil(frames::Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - frames::Clock::now());
  return (int)std::max<int64_t>(0, std::min<int64_t>(left.count() + 1, 60000));
}

// Nothing to read and no end: what a healthy idle worker's connection shows.
bool Quiet(int fd) {
  char byte;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

void WorkerViews::Wake() {
  char byte = 1;
  if (write(wake_[1], &byte, 1) < 0) {
    // Full: the supervisor is awake already.
  }
}

WorkerViews::WorkerPtr WorkerViews::Spawn(std::string *error) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *error = std::string("cannot make a socket for a view worker: ") + strerror(errno);
    return nullptr;
  }
  // The worker's end becomes its descriptor 3 (and only that one is
  // inherited); as a copy source it must not be 3 itself.
  int theirs = pair[1];
  if (theirs == kWorkerFd) {
    theirs = fcntl(pair[1], F_DUPFD_CLOEXEC, kWorkerFd + 1);
    close(pair[1]);
  }
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&files, theirs, kWorkerFd);
  posix_spawn_file_actions_addclosefrom_np(&files, kWorkerFd + 1);
  // Signals as a fresh program has them; a group of its own, so that a
  // terminal's Ctrl-C reaches the server, which ends its workers itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::string name = "rhl", argument = kWorkerArgument, parent = std::to_string(getpid());
  char *argv[] = {&name[0], &argument[0], &parent[0], nullptr};
  pid_t pid = -1;
  int failed = theirs < 0 ? errno
                          : posix_spawn(&pid, options_.program.c_str(), &files, &attributes,
                                        argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  if (theirs >= 0) close(theirs);
  auto worker = std::make_shared<Worker>();
  worker->fd = pair[0];
  if (failed != 0) {
    *error = std::string("cannot start a view worker: ") + strerror(failed);
    return nullptr;
  }
  worker->pid = pid;
  worker->started = Clock::now();
  frames::Body hello;
  frames::PutHello(&hello, options_.modulePath, options_.files);
  if (frames::Send(worker->fd, frames::kHello, hello, worker->started + kStartLimit) !=
      frames::Io::kDone) {
    *error = "a view worker " + Ended(*worker) + " as it started";
    std::lock_guard<std::mutex> lock(lock_);
    if (worker->pid > 0) dying_.push_back({worker->pid, Clock::now(), false});
    worker->pid = -1;
    return nullptr;
  }
  return worker;
}

bool WorkerViews::TakeReady(Worker &worker, std::string *error) {
  uint32_t kind = 0;
  frames::Body ready;
  frames::Io io =
      frames::Receive(worker.fd, &kind, &ready, 0, Clock::now() + std::chrono::seconds(5));
  if (io == frames::Io::kDone && kind == frames::kReady) return true;
  *error = io == frames::Io::kDone ? "a view worker answered out of turn as it started"
                                   : "a view worker " + Ended(worker) + " as it started";
  return false;
}

void WorkerViews::StartFailed(const std::string &error) {
  ++startFailures_;
  lastStartError_ = error;
  nextStart_ = Clock::now() + kStartBackoff * (1 << std::min(failingStarts_, kStartBackoffDoublings));
  ++failingStarts_;
  if (started_) fprintf(stderr, "rhl serve: %s\n", error.c_str());
  changed_.notify_all();
}

void WorkerViews::ReapDying(std::unique_lock<std::mutex> &lock, bool wait) {
  for (;;) {
    Clock::time_point now = Clock::now();
    for (auto it = dying_.begin(); it != dying_.end();) {
      int status = 0;
      pid_t ended = waitpid(it->pid, &status, WNOHANG);
      if (ended == it->pid || (ended < 0 && errno == ECHILD)) {
        if (ended == it->pid && it->report && !stopping_)
          fprintf(stderr, "rhl serve: view worker %d %s while idle; another starts\n",
                  (int)it->pid, HowItEnded(status).c_str());
        it = dying_.erase(it);
        continue;
      }
      if (now >= it->killAt) kill(it->pid, SIGKILL);  // not reaped yet: still its own id
      ++it;
    }
    if (!wait || dying_.empty()) return;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    lock.lock();
  }
}

void WorkerViews::Supervise() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!finished_) {
    Clock::time_point now = Clock::now();
    bool missing = !stopping_ && (int)pool_.size() < Processes();
    if (missing && now >= nextStart_) {
      lock.unlock();
      std::string error;
      WorkerPtr worker = Spawn(&error);
      lock.lock();
      if (worker != nullptr)
        pool_.push_back(worker);
      else
        StartFailed(error);
      continue;
    }
    // Watched: the starting (for their readiness) and the idle (whose
    // connection stirs only when they end).
    std::vector<WorkerPtr> watched;
    int wait = -1;
    auto until = [&wait](Clock::time_point when) {
      int ms = MillisecondsUntil(when);
      wait = wait < 0 ? ms : std::min(wait, ms);
    };
    if (!stopping_) {
      for (const WorkerPtr &worker : pool_) {
        if (worker->state == Worker::kBusy) continue;
        watched.push_back(worker);
        worker->watched = true;
        if (worker->state == Worker::kStarting) until(worker->started + kStartLimit);
      }
      if (missing) until(nextStart_);
    }
    if (!dying_.empty()) until(now + std::chrono::milliseconds(20));
    lock.unlock();
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    for (const WorkerPtr &worker : watched) fds.push_back({worker->fd, POLLIN, 0});
    poll(fds.data(), fds.size(), wait);
    char drain[64];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    lock.lock();
    now = Clock::now();
    for (const WorkerPtr &worker : watched) worker->watched = false;
    for (size_t i = 0; i < watched.size() && !stopping_; ++i) {
      const WorkerPtr &worker = watched[i];
      bool stirred = fds[i + 1].revents != 0;
      if (worker->state == Worker::kStarting && (stirred || now >= worker->started + kStartLimit)) {
        // Starting workers are this thread's alone: read without the lock.
        lock.unlock();
        std::string error = "a view worker did not start within " +
                            std::to_string(kStartLimit.count()) + " s";
        bool ready = stirred && TakeReady(*worker, &error);
        lock.lock();
        if (ready) {
          failingStarts_ = 0;
          worker->state = Worker::kIdle;
          Dispatch();
          changed_.notify_all();
          continue;
        }
        pool_.erase(std::remove(pool_.begin(), pool_.end(), worker), pool_.end());
        if (worker->pid > 0) dying_.push_back({worker->pid, now, false});
        worker->pid = -1;
        StartFailed(error);
      } else if (worker->state == Worker::kIdle && stirred && !Quiet(worker->fd)) {
        // An idle worker says nothing: it has ended, or is no longer to be
        // trusted. (What stirred may also have been a whole view, made by
        // another thread since the poll: then there is nothing to read.)
        pool_.erase(std::remove(pool_.begin(), pool_.end(), worker), pool_.end());
        if (worker->pid > 0) dying_.push_back({worker->pid, now + kIdleEndGrace, true});
        worker->pid = -1;
      }
    }
    ReapDying(lock, false);
  }
}

}  // namespace web
}  // namespace rhl
