// The image cache: open GDAL datasets shared by name among probes, opens and
// views, so that GDAL's directories, overviews and block cache, and what the
// library learns of an image (its file information, palette, statistics),
// survive from one view to the next.
//
// An image is lent to one view at a time (a GDAL dataset is not thread-safe):
// two views of one name at once get two datasets. A few idle images are kept,
// and an idle image serves again only while it is still true to its name
// (see Asked in cache.cpp): a local file as it was on disk, a remote one as
// the server still describes it.
#ifndef NCSECWEX_CACHE_H
#define NCSECWEX_CACHE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "ecw/ncsecwex.h"
#include "gdal.h"
#include "remote.h"
#include "stats.h"

namespace ncsecwex {

// Idle images kept for names asked again; the least recently used goes first.
constexpr size_t kMaxIdleImages = 8;
// A remote image asked for again later than this after the server was last
// asked about it is checked with the server first (one HEAD request).
constexpr std::chrono::milliseconds kRemoteRecheck{1000};

// A file on disk as it was when its dataset was opened.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{}, changed{};
};

// One open dataset of a name and what the library has learnt of it.
struct Image {
  Image() = default;
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;
  ~Image();  // closes its datasets

  std::string name;       // as the caller named it
  std::string gdalName;   // as GDAL opens it
  GDALDatasetH dataset = nullptr;
  EcwFileInfo info{};
  // A one-band image with an RGB colour table: the table as R, G, B.
  bool paletted = false;
  std::vector<std::array<uint8_t, 3>> palette;
  bool local = false;     // a file on disk, with its identity
  FileIdentity identity;
  bool remote = false;    // an http(s) name, as the server described it, and when
  RemoteIdentity served;
  std::chrono::steady_clock::time_point asked;

  // The image opened again without its overviews, for reductions that must
  // read the full image (see StripReader); opened on first need.
  GDALDatasetH Flat();
  // The stretch of a band (from 1) wider than 8 bits; computed on first need
  // (see stats.h). False, with the reason where there is one, when it cannot
  // be had.
  bool StretchOf(int gdalBand, Stretch *stretch, std::string *reason);
  // The same as a table over every 16-bit value, read as signed or not, for
  // 16-bit bands; null when the stretch cannot be had.
  const uint8_t *TableOf(int gdalBand, bool isSigned, std::string *reason);

  // The cache's own.
  GDALDatasetH flat = nullptr;
  std::vector<Stretch> stretches;     // by band from 1; valid where `known`
  std::vector<StretchFrom> stretchFrom;
  std::vector<bool> known;
  std::vector<std::vector<uint8_t>> tables[2];  // unsigned, signed; by band from 1
  bool lent = false;
  bool failed = false;    // a read failed: closed when its view ends
  bool sampledNoted = false;  // the note on views that sample was given
  uint64_t lastUse = 0;
};

// Lends an image of `name`: an idle one still true to its name, or one opened
// now. Null on failure, with errno and the thread's reason saying why (see
// local.h and reason.h; for an image GDAL opened: EDOM, rotated or sheared;
// ENODATA, no bands of its own; EOVERFLOW, more bands than the record counts;
// ENOMEM).
Image *AcquireImage(const char *name);
// Takes an image back from its view: kept idle, or closed.
void ReleaseImage(Image *image);

// For tests.
struct CacheCounts {
  size_t idle = 0, lent = 0, opened = 0;  // opened: datasets opened, ever
};
CacheCounts CountImages();
void CloseIdleImages();

}  // namespace ncsecwex

#endif
