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

// When the cache asks whether an image is still true to its name.
enum class Moment {
  kReturned,  // its view has ended: may it be kept?
  kAsked,     // its name is opened again: may it serve?
};

// The one place the library decides whether an open dataset is still true to
// its name, and so may be kept and serve another open or view of it.
// - A file on disk: kept when its view ends, and serves again while its
//   device, inode, size, modification and change times are those it had when
//   it was opened (a rewritten or replaced file is opened again; a deleted
//   one fails to open, as any missing file).
// - Any other name (http(s) through /vsicurl/, other /vsi paths, GDAL
//   connection strings): not kept past the view that opened it.
bool StillFresh(const Image &image, Moment moment) {
  if (!image.local) return false;
  if (moment == Moment::kReturned) return true;  // looked at when next asked for
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
    image.reset();  // closed first, so that nothing after sets errno
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

Image::~Image() {
  if (flat != nullptr) GDALClose(flat);
  if (dataset != nullptr) GDALClose(dataset);
}

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

const uint8_t *Image::TableOf(int gdalBand, bool isSigned) {
  Stretch stretch;
  if (!StretchOf(gdalBand, &stretch)) return nullptr;
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

Image *AcquireImage(const char *name) {
  Cache &cache = TheCache();
  std::list<Image *> stale;  // moved out of the cache without allocating
  Image *found = nullptr;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (auto it = cache.images.begin(); it != cache.images.end();) {
      Image *image = *it;
      if (image->lent || image->name != name) {
        ++it;
      } else if (!StillFresh(*image, Moment::kAsked)) {
        stale.splice(stale.end(), cache.images, it++);
      } else {
        found = image;
        break;
      }
    }
    if (found != nullptr) {
      found->lent = true;
      found->lastUse = ++cache.clock;
    }
  }
  for (Image *image : stale) delete image;
  if (found != nullptr) return found;

  Image *image = nullptr;
  try {
    image = OpenImage(name);
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
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
    errno = ENOMEM;
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
    if (self != cache.images.end() && !StillFresh(*image, Moment::kReturned))
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
