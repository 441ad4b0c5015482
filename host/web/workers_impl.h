// What the serving side of the view workers knows of each worker; shared by
// workers.cpp and supervisor.cpp alone.
#ifndef RHL_HOST_WEB_WORKERS_IMPL_H
#define RHL_HOST_WEB_WORKERS_IMPL_H

#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "workers.h"

namespace rhl {
namespace web {

struct WorkerViews::Worker {
  // Starting: the supervisor's until it is ready. Idle: in the pool. Busy:
  // the thread whose view it makes owns it, and alone reaps it.
  enum State { kStarting, kIdle, kBusy } state = kStarting;
  pid_t pid = -1;  // -1 once reaped, or handed to the dying
  int fd = -1;     // our end of its socket
  Clock::time_point started;
  size_t lastImage = SIZE_MAX;
  bool watched = false;  // in the supervisor's poll now

  Worker() = default;
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;
  ~Worker() {
    if (fd >= 0) close(fd);
  }
};

// "ended by signal 9 (Killed)", "exited with status 1": a wait status in words.
std::string HowItEnded(int status);

}  // namespace web
}  // namespace rhl

#endif
