#include "cache.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <memory>
#include <mutex>

#include "cpl_conv.h"
#include "cpl_string.h"
#include "cpl_vsi.h"
#include "guard.h"
#include "local.h"
#include "memory.h"
#include "quiet.h"
#include "reason.h"
#include "remote.h"

namespace ncsecwex {
namespace {

bool SameTime(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The identity of a name that is a file on disk; false for anything else
// (GDAL's virtual file systems, remote names, a missing file).
bool LocalIdentity(const std::string &gdalName, FileIdentity *identity) {
  if (gdalName.compare(0, 5, "/vsi") == 0) return false;
  struct stat st;
  if (stat(gdalName.c_str(), &st) != 0) return false;
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->size = st.st_size;
  identity->modified = st.st_mtim;
  identity->changed = st.st_ctim;
  return true;
}

// What the cache learns when an idle image's name is asked for again.
enum class Verdict {
  kFresh,    // it serves
  kChanged,  // it is closed and its name opened afresh
  kFailed,   // the name cannot be had now (errno and reason set)
};

// The one place the library decides whether an open dataset is still true to
// its name, and so may serve another open or view of it:
// - A file on disk serves again while its device, inode, size, modification
//   and change times are those it had when it was opened (a rewritten or
//   replaced file is opened again; a deleted one fails to open, as any
//   missing file).
// - An http(s) name serves again while the server gives the size and
//   modification time it gave when the image was opened. The server is asked
//   (one HEAD request, within the HTTP limits) when the image is asked for
//   more than kRemoteRecheck after it was last asked; GDAL's cached
//   knowledge of the name is dropped then, so a changed file is read afresh.
//   A server that does not answer fails the open with its reason.
// - Any other name (other /vsi paths, GDAL connection strings) is not kept
//   past the view that opened it (see Keep).
Verdict Asked(Image &image) {
  if (image.local) {
    FileIdentity now;
    if (!LocalIdentity(image.gdalName, &now)) return Verdict::kChanged;
    const FileIdentity &then = image.identity;
    return now.device == then.device && now.inode == then.inode && now.size == then.size &&
                   SameTime(now.modified, then.modified) && SameTime(now.changed, then.changed)
               ? Verdict::kFresh
               : Verdict::kChanged;
  }
  auto now = std::chrono::steady_clock::now();
  if (now - image.asked <= kRemoteRecheck) return Verdict::kFresh;
  GdalMessages messages(true);
  RemoteIdentity server;
  if (!AskServer(image.gdalName, &server)) {
    try {
      std::string reason = messages.Reason();
      SetFailure(messages.Error(ENOENT), "'" + image.name + "' can no longer be had" +
                                             (reason.empty() ? "" : ": " + reason));
    } catch (const std::bad_alloc &) {
      SetFailure(ENOMEM, "");
    }
    return Verdict::kFailed;
  }
  if (!(server == image.served)) return Verdict::kChanged;
  image.asked = now;
  return Verdict::kFresh;
}

// Whether an image whose view has ended is kept for the next use of its name.
bool Keep(const Image &image) { return (image.local || image.remote) && !image.failed; }

// GDAL once per process: its drivers, the check of every file it opens, and
// a block cache of a stated size rather than GDAL's default share of the
// machine's memory.
void StartGdal() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDALAllRegister();
    GuardGdalFiles();
    SizeBlockCache();
    ApplyHttpDefaults();
  });
}

// The palette of a one-band image whose table is RGB, as bytes.
void CopyPalette(GDALRasterBandH band, Image *image) {
  GDALColorTableH table = GDALGetRasterColorTable(band);
  if (table == nullptr || GDALGetPaletteInterpretation(table) != GPI_RGB) return;
  image->paletted = true;
  auto clamp = [](short v) { return (uint8_t)std::min<short>(255, std::max<short>(0, v)); };
  int count = GDALGetColorEntryCount(table);
  image->palette.reserve((size_t)count);
  for (int i = 0; i < count; ++i) {
    const GDALColorEntry *e = GDALGetColorEntry(table, i);
    image->palette.push_back({clamp(e->c1), clamp(e->c2), clamp(e->c3)});
  }
}

Image *Refuse(int error, const std::string &reason) {
  SetFailure(error, reason);
  return nullptr;
}

// Why an image GDAL opened cannot be described by the record; "" when it can.
int Undescribable(GDALDatasetH dataset, const double *gt, const std::string &name,
                  std::string *reason) {
  int bands = GDALGetRasterCount(dataset);
  if (bands == 0) {
    char **subdatasets = GDALGetMetadata(dataset, "SUBDATASETS");
    const char *first = CSLFetchNameValue(subdatasets, "SUBDATASET_1_NAME");
    *reason = "'" + name + "' holds no bands of its own" +
              (first != nullptr ? ", only " + std::to_string(CSLCount(subdatasets) / 2) +
                                      " subdatasets, each opened by its own name, such as '" +
                                      first + "'"
                                : std::string());
    return ENODATA;
  }
  if (bands > 0xFFFF) {
    *reason = "'" + name + "' has " + std::to_string(bands) + " bands; the record counts at most 65535";
    return EOVERFLOW;
  }
  if (gt[2] != 0.0 || gt[4] != 0.0) {
    *reason = "'" + name + "' is rotated or sheared (geotransform terms " +
              CPLSPrintf("%g and %g", gt[2], gt[4]) + "); the record carries no rotation";
    return EDOM;
  }
  return 0;
}

// Opens `name` as a new image; null with errno and the reason.
Image *OpenImage(const char *name) {
  std::string refusal;
  if (int error = RefusedLocalName(name, &refusal)) return Refuse(error, refusal);
  std::unique_ptr<Image> image(new (std::nothrow) Image);
  if (image == nullptr) return Refuse(ENOMEM, "");
  image->name = name;
  image->gdalName = GdalName(name);
  image->remote = IsRemoteName(name);
  // The identity is taken before the open: a change during the open shows
  // as a change at the next use.
  image->local = LocalIdentity(image->gdalName, &image->identity);
  // A remote name is opened as the server has it now, not as GDAL may
  // remember it from an earlier open.
  ForgetRemote(image->gdalName);
  image->asked = std::chrono::steady_clock::now();
  GdalMessages messages(image->remote);
  {
    NoSidecars sidecars(image->gdalName);
    image->dataset = GDALOpenEx(image->gdalName.c_str(),
                                GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr,
                                nullptr, nullptr);
  }
  if (image->dataset == nullptr) {
    std::string reason;
    int error = image->remote || messages.Refused() ? messages.Error(ENOTSUP)
                                                    : LocalOpenError(image->gdalName, &reason);
    ForgetRemote(image->gdalName);  // nothing of a failed open is remembered
    // A missing local file is said in full by its error code.
    if (reason.empty() && !(error == ENOENT && !image->remote)) reason = messages.Reason();
    return Refuse(error, reason);
  }
  if (image->remote && !KnownIdentity(image->gdalName, &image->served)) {
    image.reset();
    return Refuse(messages.Error(EIO), messages.Reason());
  }
  double gt[6];
  GDALGetGeoTransform(image->dataset, gt);  // without one: (0, 1, 0, 0, 0, 1)
  std::string reason;
  if (int error = Undescribable(image->dataset, gt, name, &reason)) {
    image.reset();  // closed first, so that nothing after sets errno
    return Refuse(error, reason);
  }
  int bands = GDALGetRasterCount(image->dataset);
  if (bands == 1) {
    CopyPalette(GDALGetRasterBand(image->dataset, 1), image.get());
    if (image->paletted) bands = 3;
  }
  EcwFileInfo &info = image->info;
  info.width = (uint32_t)GDALGetRasterXSize(image->dataset);
  info.height = (uint32_t)GDALGetRasterYSize(image->dataset);
  info.bands = (uint16_t)bands;
  info.originX = gt[0];
  info.cellSizeX = gt[1];
  info.originY = gt[3];
  info.cellSizeY = gt[5];
  size_t count = (size_t)GDALGetRasterCount(image->dataset) + 1;
  image->stretches.resize(count);
  image->stretchFrom.resize(count, StretchFrom::kSample);
  image->known.resize(count, false);
  return image.release();
}

struct Cache {
  std::mutex mutex;
  std::list<Image *> images;  // idle and lent
  uint64_t clock = 0;
  size_t opened = 0;
};

// Never destroyed: the cache outlives every view, also at exit.
Cache &TheCache() {
  static Cache *cache = new Cache;
  return *cache;
}

}  // namespace

Image::~Image() {
  if (flat != nullptr) GDALClose(flat);
  if (dataset != nullptr) GDALClose(dataset);
}

GDALDatasetH Image::Flat() {
  if (flat == nullptr) {
    QuietErrors quiet;
    NoSidecars sidecars(gdalName);
    char **options = CSLSetNameValue(nullptr, "OVERVIEW_LEVEL", "NONE");
    flat = GDALOpenEx(gdalName.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, options,
                      nullptr);
    CSLDestroy(options);
  }
  return flat;
}

bool Image::StretchOf(int gdalBand, Stretch *stretch, std::string *reason) {
  if (gdalBand < 1 || (size_t)gdalBand >= known.size()) return false;
  size_t b = (size_t)gdalBand;
  if (!known[b]) {
    QuietErrors quiet;
    if (!ComputeStretch(GDALGetRasterBand(dataset, gdalBand), gdalBand, &stretches[b],
                        &stretchFrom[b], reason))
      return false;
    known[b] = true;
  }
  *stretch = stretches[b];
  return true;
}

const uint8_t *Image::TableOf(int gdalBand, bool isSigned, std::string *reason) {
  Stretch stretch;
  if (!StretchOf(gdalBand, &stretch, reason)) return nullptr;
  std::vector<std::vector<uint8_t>> &byBand = tables[isSigned ? 1 : 0];
  try {
    if (byBand.size() <= (size_t)gdalBand) byBand.resize((size_t)gdalBand + 1);
    std::vector<uint8_t> &table = byBand[(size_t)gdalBand];
    if (table.empty()) {
      Stretcher stretcher(stretch);
      table.resize(65536);
      for (uint32_t i = 0; i < 65536; ++i)
        table[i] = stretcher(isSigned ? (double)(int16_t)(uint16_t)i : (double)i);
    }
    return table.data();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

// An idle image of `name`, now lent; null when there is none.
Image *TakeIdle(Cache &cache, const char *name) {
  std::lock_guard<std::mutex> lock(cache.mutex);
  for (Image *image : cache.images) {
    if (image->lent || image->name != name) continue;
    image->lent = true;
    image->lastUse = ++cache.clock;
    return image;
  }
  return nullptr;
}

// Takes a lent image out of the cache and closes it, errno kept.
void Discard(Cache &cache, Image *image) {
  int error = errno;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.images.remove(image);
  }
  delete image;
  errno = error;
}

Image *AcquireImage(const char *name) {
  StartGdal();
  Cache &cache = TheCache();
  // Asked outside the lock: a remote image's check waits on its server.
  while (Image *idle = TakeIdle(cache, name)) {
    Verdict verdict = Asked(*idle);
    if (verdict == Verdict::kFresh) return idle;
    Discard(cache, idle);
    if (verdict == Verdict::kFailed) return nullptr;
  }

  Image *image = nullptr;
  try {
    image = OpenImage(name);
  } catch (const std::bad_alloc &) {
    SetFailure(ENOMEM, "");
  }
  if (image == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(cache.mutex);
  image->lent = true;
  image->lastUse = ++cache.clock;
  ++cache.opened;
  try {
    cache.images.push_back(image);
  } catch (const std::bad_alloc &) {
    delete image;
    SetFailure(ENOMEM, "");
    return nullptr;
  }
  return image;
}

void ReleaseImage(Image *image) {
  if (image == nullptr) return;
  Cache &cache = TheCache();
  std::list<Image *> closing;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    image->lent = false;
    auto self = std::find(cache.images.begin(), cache.images.end(), image);
    if (self != cache.images.end() && !Keep(*image))
      closing.splice(closing.end(), cache.images, self);
    // Beyond the limit, the idle images used longest ago are closed.
    size_t idle = 0;
    for (Image *i : cache.images) idle += i->lent ? 0 : 1;
    for (; idle > kMaxIdleImages; --idle) {
      auto oldest = cache.images.end();
      for (auto it = cache.images.begin(); it != cache.images.end(); ++it)
        if (!(*it)->lent && (oldest == cache.images.end() || (*it)->lastUse < (*oldest)->lastUse))
          oldest = it;
      closing.splice(closing.end(), cache.images, oldest);
    }
  }
  for (Image *i : closing) delete i;
}

CacheCounts CountImages() {
  Cache &cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  CacheCounts counts;
  for (Image *i : cache.images) (i->lent ? counts.lent : counts.idle) += 1;
  counts.opened = cache.opened;
  return counts;
}

void CloseIdleImages() {
  Cache &cache = TheCache();
  std::list<Image *> closing;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (auto it = cache.images.begin(); it != cache.images.end();) {
      if ((*it)->lent) {
        ++it;
      } else {
        closing.splice(closing.end(), cache.images, it++);
      }
    }
  }
  for (Image *i : closing) delete i;
}

}  // namespace ncsecwex
