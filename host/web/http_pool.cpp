#include "http_pool.h"

#include <pthread.h>

namespace rhl {
namespace web {

HandlerPool::HandlerPool(size_t maxThreads) : maxThreads_(maxThreads > 0 ? maxThreads : 1) {}

HandlerPool::~HandlerPool() {
  Close();
  for (std::thread &thread : threads_) thread.join();
}

bool HandlerPool::Submit(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return false;
  jobs_.push_back(std::move(job));
  // A free thread takes it, unless the jobs already waiting outnumber the
  // free threads.
  if (free_ < jobs_.size() && threads_.size() < maxThreads_) {
    threads_.emplace_back([this] { Work(); });
    pthread_setname_np(threads_.back().native_handle(), "rhl-http");
  }
  wake_.notify_one();
  return true;
}

void HandlerPool::Close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(jobs_);
  }
  wake_.notify_all();
  idle_.notify_all();
  // `dropped` goes here, outside the lock: a job may own things whose
  // release takes time.
}

bool HandlerPool::WaitIdle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_until(lock, deadline, [this] { return busy_ == 0 && jobs_.empty(); });
}

size_t HandlerPool::Busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

size_t HandlerPool::Threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

void HandlerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++free_;
    wake_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
    --free_;
    if (closed_) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++busy_;
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before the pool counts it done
    lock.lock();
    --busy_;
    if (busy_ == 0 && jobs_.empty()) idle_.notify_all();
  }
}

}  // namespace web
}  // namespace rhl
