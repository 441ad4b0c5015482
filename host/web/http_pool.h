// The threads that run request handlers for the HTTP transport. A thread is
// made when a job comes and none is free, up to a maximum, and then kept;
// jobs beyond the maximum wait in order. The transport hands over at most
// one job per open connection, so the open-connection cap bounds the queue.
#ifndef RHL_HOST_WEB_HTTP_POOL_H
#define RHL_HOST_WEB_HTTP_POOL_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace rhl {
namespace web {

class HandlerPool {
 public:
  explicit HandlerPool(size_t maxThreads);
  // Drops the jobs not begun and waits for those running.
  ~HandlerPool();
  HandlerPool(const HandlerPool &) = delete;
  HandlerPool &operator=(const HandlerPool &) = delete;

  // Queues `job`; false once the pool is closed (the job is then dropped).
  bool Submit(std::function<void()> job);
  // Takes no more jobs and drops those not begun.
  void Close();
  // Waits until no job runs, or until `deadline`: whether none runs.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);
  // Jobs running now.
  size_t Busy() const;
  // Threads made so far.
  size_t Threads() const;

 private:
  void Work();

  const size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t free_ = 0, busy_ = 0;
  bool closed_ = false;
};

}  // namespace web
}  // namespace rhl

#endif
