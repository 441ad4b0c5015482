// What memory the library's views may have: GDAL's block cache of a stated
// size, and, in a process limited in the address space it may map (ulimit
// -v), views whose memory is foreseen to fit or refused at once.
#ifndef NCSECWEX_MEMORY_H
#define NCSECWEX_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ncsecwex {

// GDAL's block cache, shared by every dataset in the process, unless the user
// set GDAL_CACHEMAX.
constexpr int64_t kBlockCacheBytes = int64_t{64} << 20;
// Left for GDAL's own allocations beside a view's strips and the block
// cache: GDAL ends the process when a small allocation of its own fails.
constexpr size_t kGdalReserveBytes = size_t{32} << 20;
// The least block cache a view is read with.
constexpr int64_t kMinBlockCacheBytes = int64_t{4} << 20;
// What a thread reading ahead maps besides its strip: its stack, and the
// address space the C library reserves for its allocations.
constexpr size_t kReaderThreadBytes = size_t{136} << 20;

// Sizes GDAL's block cache, once, unless the user set GDAL_CACHEMAX (then
// GDAL's own reading of it holds, and the library never changes it).
void SizeBlockCache();

// The bytes this process may still map, or SIZE_MAX when it is not limited.
size_t AddressRoom();

// Whether a view of strips of `stripBytes` each (`strips` of them, one or
// two) fits in what the process may still map, beside GDAL's reserve (and
// the least block cache, where the library sized it). *readAhead says
// whether a second strip and a thread to read it ahead fit as well; the
// block cache the library sized is then made to fit beside the view (and
// given its full size again when there is room). 0, or ENOMEM with the
// reason.
int FitView(size_t stripBytes, int strips, bool *readAhead, std::string *reason);

}  // namespace ncsecwex

#endif
