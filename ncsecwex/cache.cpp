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
#include "quiet.h"

namespace ncsecwex {
namespace {

std::string GdalName(const char *name) {
  if (strncmp(name, "http://", 7) == 0 || strncmp(name, "https://", 8) == 0)
    return std::string("/vsicurl/") + name;
  return name;
}

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

// The one place the library decides whether an open dataset is still true to
// its name, and so may serve another open or view of it.
// - A file on disk: while its device, inode, size, modification and change
//   times are those it had when it was opened (a rewritten or replaced file
//   is opened again; a deleted one fails to open, as any missing file).
// - Any other name (http(s) through /vsicurl/, other /vsi paths, GDAL
//   connection strings): not past the view that opened it.
bool StillFresh(const Image &image) {
  if (!image.local) return false;
  FileIdentity now;
  if (!LocalIdentity(image.gdalName, &now)) return false;
  const FileIdentity &then = image.identity;
  return now.device == then.device && now.inode == then.inode && now.size == then.size &&
         SameTime(now.modified, then.modified) && SameTime(now.changed, then.changed);
}

// GDAL once per process: its drivers, and a block cache of a stated size
// rather than GDAL's default share of the machine's memory.
void StartGdal() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDALAllRegister();
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr) GDALSetCacheMax64(kBlockCacheBytes);
  });
}

void CloseImage(Image *image) {
  if (image == nullptr) return;
  if (image->flat != nullptr) GDALClose(image->flat);
  if (image->dataset != nullptr) GDALClose(image->dataset);
  delete image;
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

// Opens `name` as a new image; null with errno.
Image *OpenImage(const char *name) {
  StartGdal();
  QuietErrors quiet;
  std::unique_ptr<Image> image(new (std::nothrow) Image);
  if (image == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  image->name = name;
  image->gdalName = GdalName(name);
  // The identity is taken before the open: a change during the open shows
  // as a change at the next use.
  image->local = LocalIdentity(image->gdalName, &image->identity);
  image->dataset = GDALOpenEx(image->gdalName.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr,
                              nullptr, nullptr);
  if (image->dataset == nullptr) {
    VSIStatBufL stat;
    errno = VSIStatL(image->gdalName.c_str(), &stat) != 0 ? ENOENT : EINVAL;
    return nullptr;
  }
  double gt[6];
  GDALGetGeoTransform(image->dataset, gt);  // without one: (0, 1, 0, 0, 0, 1)
  int bands = GDALGetRasterCount(image->dataset);
  if (gt[2] != 0.0 || gt[4] != 0.0 || bands > 0xFFFF) {  // the record carries no rotation
    CloseImage(image.release());
    errno = EINVAL;
    return nullptr;
  }
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

GDALDatasetH Image::Flat() {
  if (flat == nullptr) {
    QuietErrors quiet;
    char **options = CSLSetNameValue(nullptr, "OVERVIEW_LEVEL", "NONE");
    flat = GDALOpenEx(gdalName.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, options,
                      nullptr);
    CSLDestroy(options);
  }
  return flat;
}

bool Image::StretchOf(int gdalBand, Stretch *stretch) {
  if (gdalBand < 1 || (size_t)gdalBand >= known.size()) return false;
  if (!known[(size_t)gdalBand]) {
    QuietErrors quiet;
    if (!ComputeStretch(GDALGetRasterBand(dataset, gdalBand), &stretches[(size_t)gdalBand]))
      return false;
    known[(size_t)gdalBand] = true;
  }
  *stretch = stretches[(size_t)gdalBand];
  return true;
}

Image *AcquireImage(const char *name) {
  Cache &cache = TheCache();
  std::vector<Image *> stale;
  Image *found = nullptr;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (auto it = cache.images.begin(); it != cache.images.end();) {
      Image *image = *it;
      if (image->lent || image->name != name) {
        ++it;
      } else if (!StillFresh(*image)) {
        stale.push_back(image);
        it = cache.images.erase(it);
      } else {
        if (found == nullptr) found = image;
        ++it;
      }
    }
    if (found != nullptr) {
      found->lent = true;
      found->lastUse = ++cache.clock;
    }
  }
  for (Image *image : stale) CloseImage(image);
  if (found != nullptr) return found;

  Image *image = OpenImage(name);
  if (image == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(cache.mutex);
  image->lent = true;
  image->lastUse = ++cache.clock;
  ++cache.opened;
  try {
    cache.images.push_back(image);
  } catch (const std::bad_alloc &) {
    CloseImage(image);
    errno = ENOMEM;
    return nullptr;
  }
  return image;
}

void ReleaseImage(Image *image) {
  if (image == nullptr) return;
  Cache &cache = TheCache();
  std::vector<Image *> closing;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    image->lent = false;
    if (!StillFresh(*image)) {
      cache.images.remove(image);
      closing.push_back(image);
    }
    // Beyond the limit, the idle images used longest ago are closed.
    size_t idle = 0;
    for (Image *i : cache.images) idle += i->lent ? 0 : 1;
    while (idle > kMaxIdleImages) {
      auto oldest = cache.images.end();
      for (auto it = cache.images.begin(); it != cache.images.end(); ++it)
        if (!(*it)->lent && (oldest == cache.images.end() || (*it)->lastUse < (*oldest)->lastUse))
          oldest = it;
      closing.push_back(*oldest);
      cache.images.erase(oldest);
      --idle;
    }
  }
  for (Image *i : closing) CloseImage(i);
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
  std::vector<Image *> closing;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (auto it = cache.images.begin(); it != cache.images.end();) {
      if ((*it)->lent) {
        ++it;
      } else {
        closing.push_back(*it);
        it = cache.images.erase(it);
      }
    }
  }
  for (Image *i : closing) CloseImage(i);
}

}  // namespace ncsecwex
