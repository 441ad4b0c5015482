// A view's strips, read one ahead on a worker thread: while the host takes
// the lines of one strip, the next is decoded. Memory is two strips; a view
// of one strip is read on the caller's thread, with no worker at all. Up to
// kPooledBytes of strip memory is kept for the next views.
//
// Only the worker reads while it runs: the caller touches no GDAL object of
// the view between Start and Stop, so no dataset is used from two threads.
#ifndef NCSECWEX_PIPELINE_H
#define NCSECWEX_PIPELINE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ncsecwex {

constexpr size_t kPooledBytes = size_t{4} << 20;

class StripPipeline {
 public:
  // Reads lines [first, first + count) into `buffer`; gives up early (false)
  // once `stop` is set.
  using Read = std::function<bool(int first, int count, uint8_t *buffer,
                                  const std::atomic<bool> &stop)>;

  StripPipeline() = default;
  StripPipeline(const StripPipeline &) = delete;
  StripPipeline &operator=(const StripPipeline &) = delete;
  ~StripPipeline();

  // Delivers `lines` lines in strips of `stripLines` lines of at most
  // `stripBytes` bytes, read ahead on a worker unless `readAhead` is false
  // (then one strip at a time, on the caller's thread). False when the
  // strips' memory cannot be had.
  bool Start(int lines, int stripLines, size_t stripBytes, Read read, bool readAhead = true);
  // The strip holding `line` (lines are asked in order from 0), with its
  // first line in *first; null when it could not be read.
  const uint8_t *Strip(int line, int *first);
  // Stops the worker, waiting for it; the strips are then free to reuse.
  void Stop();

  // The most strip memory a view has held since the last reset (for tests).
  static size_t PeakBytes();
  static void ResetPeakBytes();
  // Frees the strip memory kept for later views (for tests).
  static void EmptyPool();

 private:
  enum class Slot { kFree, kReady, kFailed };
  void Work();
  bool ReadInto(int strip, int slot, const std::atomic<bool> &stop);
  void ReleaseBuffer(int i);

  Read read_;
  int lines_ = 0, stripLines_ = 1, strips_ = 0;
  size_t capacity_[2] = {0, 0};
  uint8_t *buffer_[2] = {nullptr, nullptr};
  int current_ = -1;  // the strip being delivered
  bool currentOk_ = false;

  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Slot slot_[2] = {Slot::kFree, Slot::kFree};
  std::atomic<bool> stop_{false};
};

}  // namespace ncsecwex

#endif
