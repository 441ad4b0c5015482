#include "pipeline.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace ncsecwex {
namespace {

std::atomic<size_t> gPeakBytes{0};

void NotePeak(size_t bytes) {
  size_t peak = gPeakBytes.load();
  while (bytes > peak && !gPeakBytes.compare_exchange_weak(peak, bytes)) {
  }
}

// Strip memory kept between views, so that a host's many small views do not
// each map fresh memory: buffers of up to kPooledBytes in all.
struct Pool {
  std::mutex mutex;
  std::vector<std::pair<uint8_t *, size_t>> free;  // buffer, capacity
  size_t bytes = 0;
};

Pool &ThePool() {
  static Pool *pool = new Pool;  // never destroyed: views may end at exit
  return *pool;
}

// A pooled buffer of at least `bytes` and not much more (a view holds two of
// its own strips, not two of a larger view's), or a new one; null when memory
// is short.
uint8_t *TakeBuffer(size_t bytes, size_t *capacity) {
  Pool &pool = ThePool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto best = pool.free.end();
    for (auto it = pool.free.begin(); it != pool.free.end(); ++it)
      if (it->second >= bytes && it->second - bytes <= bytes / 4 &&
          (best == pool.free.end() || it->second < best->second))
        best = it;
    if (best != pool.free.end()) {
      uint8_t *buffer = best->first;
      *capacity = best->second;
      pool.bytes -= best->second;
      pool.free.erase(best);
      return buffer;
    }
  }
  uint8_t *buffer = new (std::nothrow) uint8_t[bytes];
  *capacity = buffer != nullptr ? bytes : 0;
  return buffer;
}

void GiveBuffer(uint8_t *buffer, size_t capacity) {
  if (buffer == nullptr) return;
  Pool &pool = ThePool();
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.bytes + capacity <= kPooledBytes) {
      try {
        pool.free.emplace_back(buffer, capacity);
        pool.bytes += capacity;
        return;
      } catch (const std::bad_alloc &) {
      }
    }
  }
  delete[] buffer;
}

}  // namespace

size_t StripPipeline::PeakBytes() { return gPeakBytes.load(); }

void StripPipeline::EmptyPool() {
  Pool &pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (auto &b : pool.free) delete[] b.first;
  pool.free.clear();
  pool.bytes = 0;
}
void StripPipeline::ResetPeakBytes() { gPeakBytes.store(0); }

bool StripPipeline::Start(int lines, int stripLines, size_t stripBytes, Read read,
                          bool readAhead) {
  Stop();
  read_ = std::move(read);
  lines_ = lines;
  stripLines_ = std::max(1, stripLines);
  strips_ = (lines_ + stripLines_ - 1) / stripLines_;
  current_ = -1;
  currentOk_ = false;
  slot_[0] = slot_[1] = Slot::kFree;
  stop_ = false;
  bool ahead = readAhead && strips_ > 1;
  for (int i = 0; i < 2; ++i) {
    bool wanted = i == 0 || ahead;
    if (buffer_[i] != nullptr && (!wanted || capacity_[i] < stripBytes)) ReleaseBuffer(i);
    if (wanted && buffer_[i] == nullptr) buffer_[i] = TakeBuffer(stripBytes, &capacity_[i]);
  }
  if (buffer_[0] == nullptr || (ahead && buffer_[1] == nullptr)) {
    ReleaseBuffer(0);
    ReleaseBuffer(1);
    return false;
  }
  NotePeak(capacity_[0] + capacity_[1]);
  if (ahead) {
    try {
      worker_ = std::thread(&StripPipeline::Work, this);
    } catch (const std::system_error &) {
      // No thread to be had: the strips are read on the caller's thread.
    }
  }
  return true;
}

bool StripPipeline::ReadInto(int strip, int slot, const std::atomic<bool> &stop) {
  int first = strip * stripLines_;
  return read_(first, std::min(stripLines_, lines_ - first), buffer_[slot], stop);
}

void StripPipeline::Work() {
  for (int strip = 0; strip < strips_; ++strip) {
    int slot = strip % 2;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || slot_[slot] == Slot::kFree; });
      if (stop_) return;
    }
    bool ok = ReadInto(strip, slot, stop_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot_[slot] = ok ? Slot::kReady : Slot::kFailed;
    }
    changed_.notify_all();
    if (!ok) return;
  }
}

const uint8_t *StripPipeline::Strip(int line, int *first) {
  if (line < 0 || line >= lines_) return nullptr;
  int strip = line / stripLines_;
  if (strip != current_) {
    if (!worker_.joinable()) {
      // Read here: one buffer, or two when the worker could not be started.
      int slot = buffer_[1] != nullptr ? strip % 2 : 0;
      currentOk_ = ReadInto(strip, slot, stop_);
    } else {
      std::unique_lock<std::mutex> lock(mutex_);
      // The strip delivered so far goes back to the worker for the one after
      // the next.
      if (current_ >= 0) slot_[current_ % 2] = Slot::kFree;
      changed_.notify_all();
      changed_.wait(lock, [&] { return slot_[strip % 2] != Slot::kFree; });
      currentOk_ = slot_[strip % 2] == Slot::kReady;
    }
    current_ = strip;
  }
  if (!currentOk_) return nullptr;
  *first = strip * stripLines_;
  return buffer_[buffer_[1] != nullptr ? strip % 2 : 0];
}

StripPipeline::~StripPipeline() {
  Stop();
  ReleaseBuffer(0);
  ReleaseBuffer(1);
}

void StripPipeline::ReleaseBuffer(int i) {
  GiveBuffer(buffer_[i], capacity_[i]);
  buffer_[i] = nullptr;
  capacity_[i] = 0;
}

void StripPipeline::Stop() {
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  current_ = -1;
  currentOk_ = false;
  slot_[0] = slot_[1] = Slot::kFree;
}

}  // namespace ncsecwex
