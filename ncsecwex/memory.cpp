#include "memory.h"

#include <errno.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "cpl_conv.h"
#include "gdal.h"

namespace ncsecwex {
namespace {

std::atomic<bool> gSized{false};  // the library sized the block cache

// The bytes this process maps now.
size_t Mapped() {
  FILE *f = fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long pages = 0;
  int got = fscanf(f, "%lu", &pages);
  fclose(f);
  return got == 1 ? (size_t)pages * (size_t)sysconf(_SC_PAGESIZE) : 0;
}

std::string MiB(size_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace

void SizeBlockCache() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) != nullptr) return;
    GDALSetCacheMax64(kBlockCacheBytes);
    gSized = true;
  });
}

size_t AddressRoom() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  size_t mapped = Mapped();
  return limit.rlim_cur > mapped ? (size_t)(limit.rlim_cur - mapped) : 0;
}

int FitView(size_t stripBytes, int strips, bool *readAhead, std::string *reason) {
  *readAhead = strips > 1;
  size_t room = AddressRoom();
  if (room == SIZE_MAX) {
    if (gSized && GDALGetCacheMax64() != kBlockCacheBytes) GDALSetCacheMax64(kBlockCacheBytes);
    return 0;
  }
  // A cache the user sized is the user's to size; one the library sized is
  // made to fit, down to its least.
  const size_t beside = kGdalReserveBytes + (gSized ? (size_t)kMinBlockCacheBytes : 0);
  size_t view = stripBytes;
  if (stripBytes + beside > room) {
    *reason = "the view needs " + MiB(stripBytes) + " for its lines and " + MiB(beside) +
              " for GDAL's blocks and its own, and the process may map only " + MiB(room) +
              " more (ulimit -v)";
    return ENOMEM;
  }
  if (*readAhead && 2 * stripBytes + kReaderThreadBytes + beside <= room)
    view = 2 * stripBytes + kReaderThreadBytes;
  else
    *readAhead = false;  // one strip at a time, on the caller's thread
  if (gSized) {
    // What the cache holds is mapped already; it grows into what is left, up
    // to its stated size.
    int64_t fits = GDALGetCacheUsed64() + (int64_t)(room - view - kGdalReserveBytes);
    int64_t size = std::max(kMinBlockCacheBytes, std::min(kBlockCacheBytes, fits));
    if (GDALGetCacheMax64() != size) GDALSetCacheMax64(size);
  }
  return 0;
}

}  // namespace ncsecwex
