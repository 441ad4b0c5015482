#include "strip.h"

#include "cpl_string.h"
#include "gdal_priv.h"

#include <math.h>
#include <string.h>

#include <algorithm>

namespace ncsecwex {
namespace {

size_t gPeakStripBytes = 0;

uint8_t Scale(double v, double lo, double hi) {
  if (!(hi > lo)) return 0;
  double s = floor((v - lo) * 255.0 / (hi - lo) + 0.5);
  return (uint8_t)std::min(255.0, std::max(0.0, s));
}

}  // namespace

size_t PeakStripBytes() { return gPeakStripBytes; }
void ResetPeakStripBytes() { gPeakStripBytes = 0; }

StripReader::~StripReader() {
  if (flat_ != nullptr) GDALClose(flat_);
}

// A reduction reads strips with fractional source windows. GDAL would pick
// an overview per strip from each strip's rounded window, which need not be
// the one it picks for the whole window; so the choice is made once, here,
// for the whole window, and the strips then read a source with no overviews
// left to choose from.
bool StripReader::ChooseSource(const char *name, GDALRIOResampleAlg resampling) {
  sourceBands_.clear();
  const Region &r = region_;
  int xOff = r.left, yOff = r.top, xSize = r.width, ySize = r.height;
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = resampling;
  extra.bFloatingPointWindowValidity = TRUE;
  extra.dfXOff = r.left;
  extra.dfYOff = r.top;
  extra.dfXSize = r.width;
  extra.dfYSize = r.height;
  GDALRasterBand *first = GDALRasterBand::FromHandle(GDALGetRasterBand(dataset_, gdalBands_[0]));
  int level = GDALBandGetBestOverviewLevel2(first, xOff, yOff, xSize, ySize, r.windowWidth,
                                            r.windowHeight, &extra);
  GDALDatasetH source = dataset_;
  if (level < 0) {
    if (flat_ == nullptr) {
      char **options = CSLSetNameValue(nullptr, "OVERVIEW_LEVEL", "NONE");
      flat_ = GDALOpenEx(name, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, options, nullptr);
      CSLDestroy(options);
    }
    if (flat_ == nullptr) return false;
    source = flat_;
  }
  for (int b : gdalBands_) {
    GDALRasterBandH band = GDALGetRasterBand(source, b);
    if (level >= 0) band = GDALGetOverview(band, level);
    if (band == nullptr) return false;
    sourceBands_.push_back(band);
  }
  sourceRatioX_ = (double)GDALGetRasterXSize(dataset_) / GDALGetRasterBandXSize(sourceBands_[0]);
  sourceRatioY_ = (double)GDALGetRasterYSize(dataset_) / GDALGetRasterBandYSize(sourceBands_[0]);
  return true;
}

bool StripReader::Set(GDALDatasetH dataset, const char *name, GDALColorTableH palette,
                      const std::vector<uint32_t> &bands, const Region &region) {
  set_ = false;
  dataset_ = dataset;
  palette_ = palette;
  region_ = region;
  // One band or two give grey from the first; three or more give R, G, B.
  size_t used = bands.size() >= 3 ? 3 : 1;
  gdalBands_.clear();
  channelOf_.clear();
  min_.clear();
  max_.clear();
  if (palette_ != nullptr) {
    gdalBands_.push_back(1);
    for (size_t i = 0; i < used; ++i) channelOf_.push_back((int)bands[i]);  // c1, c2, c3
    type_ = GDT_Int32;
  } else {
    for (size_t i = 0; i < used; ++i) {
      gdalBands_.push_back((int)bands[i] + 1);
      channelOf_.push_back((int)i);
    }
    type_ = GDT_Byte;
    for (int b : gdalBands_)
      if (GDALGetRasterDataType(GDALGetRasterBand(dataset_, b)) != GDT_Byte) type_ = GDT_Float64;
    if (type_ == GDT_Float64) {
      for (int b : gdalBands_) {
        double minMax[2] = {0, 0};
        if (GDALComputeRasterMinMax(GDALGetRasterBand(dataset_, b), FALSE, minMax) != CE_None)
          return false;
        min_.push_back(minMax[0]);
        max_.push_back(minMax[1]);
      }
    }
  }
  if (channelOf_.size() == 1) channelOf_.resize(3, channelOf_[0]);
  sampleSize_ = GDALGetDataTypeSizeBytes(type_);
  size_t lineBytes = (size_t)region.windowWidth * gdalBands_.size() * (size_t)sampleSize_;
  size_t fit = lineBytes > 0 ? kMaxStripBytes / lineBytes : 1;
  stripLines_ = (int)std::max<size_t>(1, std::min<size_t>({fit, (size_t)kMaxStripLines,
                                                            (size_t)region.windowHeight}));
  bool oneToOne = region.windowWidth == region.width && region.windowHeight == region.height;
  resampling_ = oneToOne ? GRIORA_NearestNeighbour
                         : palette_ != nullptr ? GRIORA_NearestNeighbour : GRIORA_Average;
  if (!oneToOne && !ChooseSource(name, resampling_)) return false;
  strip_.clear();
  strip_.shrink_to_fit();
  stripFirst_ = stripCount_ = nextLine_ = 0;
  set_ = true;
  return true;
}

bool StripReader::ReadStrip(int first) {
  const Region &r = region_;
  int count = std::min(stripLines_, r.windowHeight - first);
  size_t nb = gdalBands_.size();
  size_t bytes = (size_t)r.windowWidth * (size_t)count * nb * (size_t)sampleSize_;
  if (strip_.size() < bytes) {
    strip_.resize(bytes);
    gPeakStripBytes = std::max(gPeakStripBytes, strip_.capacity());
  }

  int pixelSpace = (int)nb * sampleSize_;
  GSpacing lineSpace = (GSpacing)pixelSpace * r.windowWidth;
  if (r.windowWidth == r.width && r.windowHeight == r.height) {
    if (GDALDatasetRasterIOEx(dataset_, GF_Read, r.left, r.top + first, r.width, count,
                              strip_.data(), r.windowWidth, count, type_, (int)nb,
                              gdalBands_.data(), pixelSpace, lineSpace, sampleSize_,
                              nullptr) != CE_None)
      return false;
  } else {
    // The strip's share of the source, in fractional rows, so that strips
    // sample exactly where one read of the whole window would.
    double step = (double)r.height / r.windowHeight;
    double rx = sourceRatioX_, ry = sourceRatioY_;
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    extra.eResampleAlg = resampling_;
    extra.bFloatingPointWindowValidity = TRUE;
    extra.dfXOff = r.left / rx;
    extra.dfXSize = r.width / rx;
    extra.dfYOff = (r.top + first * step) / ry;
    extra.dfYSize = count * step / ry;
    int sourceWidth = GDALGetRasterBandXSize(sourceBands_[0]);
    int sourceHeight = GDALGetRasterBandYSize(sourceBands_[0]);
    int xOff = std::min((int)floor(extra.dfXOff), sourceWidth - 1);
    int yOff = std::min((int)floor(extra.dfYOff), sourceHeight - 1);
    int xEnd = std::min(std::max((int)ceil(extra.dfXOff + extra.dfXSize), xOff + 1), sourceWidth);
    int yEnd = std::min(std::max((int)ceil(extra.dfYOff + extra.dfYSize), yOff + 1), sourceHeight);
    for (size_t i = 0; i < nb; ++i)
      if (GDALRasterIOEx(sourceBands_[i], GF_Read, xOff, yOff, xEnd - xOff, yEnd - yOff,
                         strip_.data() + i * sampleSize_, r.windowWidth, count, type_,
                         pixelSpace, lineSpace, &extra) != CE_None)
        return false;
  }
  stripFirst_ = first;
  stripCount_ = count;
  return true;
}

uint8_t StripReader::Channel(const uint8_t *pixel, int channel) const {
  int source = channelOf_[channel];
  if (palette_ != nullptr) {
    int32_t index;
    memcpy(&index, pixel, sizeof index);
    const GDALColorEntry *entry = GDALGetColorEntry(palette_, index);
    if (entry == nullptr) return 0;
    short v = source == 0 ? entry->c1 : source == 1 ? entry->c2 : entry->c3;
    return (uint8_t)std::min<short>(255, std::max<short>(0, v));
  }
  const uint8_t *sample = pixel + source * sampleSize_;
  if (type_ == GDT_Byte) return *sample;
  double v;
  memcpy(&v, sample, sizeof v);
  return Scale(v, min_[source], max_[source]);
}

bool StripReader::NextLine(uint8_t *rgb) {
  if (!set_ || nextLine_ >= region_.windowHeight) return false;
  if (nextLine_ >= stripFirst_ + stripCount_ && !ReadStrip(nextLine_)) return false;
  size_t pixelBytes = gdalBands_.size() * (size_t)sampleSize_;
  const uint8_t *row =
      strip_.data() + (size_t)(nextLine_ - stripFirst_) * region_.windowWidth * pixelBytes;
  if (type_ == GDT_Byte && palette_ == nullptr) {
    // Eight-bit data is already R, G, B in the strip, or one grey sample.
    if (gdalBands_.size() == 3) {
      memcpy(rgb, row, (size_t)region_.windowWidth * 3);
    } else {
      for (int x = 0; x < region_.windowWidth; ++x) rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = row[x];
    }
  } else {
    for (int x = 0; x < region_.windowWidth; ++x, row += pixelBytes)
      for (int k = 0; k < 3; ++k) rgb[3 * x + k] = Channel(row, k);
  }
  ++nextLine_;
  return true;
}

}  // namespace ncsecwex
