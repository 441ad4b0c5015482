#include "strip.h"

#include <errno.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "gdal_priv.h"
#include "memory.h"
#include "reason.h"

namespace ncsecwex {
namespace {

// GDAL's progress callback: a read gives up once its view is stopped.
int CPL_STDCALL KeepGoing(double, const char *, void *stop) {
  return !static_cast<const std::atomic<bool> *>(stop)->load() ? TRUE : FALSE;
}

// The band labelled `colour`, or 0.
int BandLabelled(GDALDatasetH dataset, GDALColorInterp colour) {
  for (int b = 1; b <= GDALGetRasterCount(dataset); ++b)
    if (GDALGetRasterColorInterpretation(GDALGetRasterBand(dataset, b)) == colour) return b;
  return 0;
}

}  // namespace

void StripReader::Stop() { pipeline_.Stop(); }

// A reduction reads strips with fractional source windows. GDAL would pick
// an overview per strip from each strip's rounded window, which need not be
// the one it picks for the whole window; so the choice is made once, here,
// for the whole window, and the strips then read a source with no overviews
// left to choose from.
bool StripReader::ChooseSource(GDALRIOResampleAlg resampling) {
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
  GDALDatasetH dataset = image_->dataset;
  GDALRasterBand *first = GDALRasterBand::FromHandle(GDALGetRasterBand(dataset, gdalBands_[0]));
  int level = GDALBandGetBestOverviewLevel2(first, xOff, yOff, xSize, ySize, r.windowWidth,
                                            r.windowHeight, &extra);
  GDALDatasetH source = level < 0 ? image_->Flat() : dataset;
  if (source == nullptr) return false;
  flat_ = level < 0;
  for (int b : gdalBands_) {
    GDALRasterBandH band = GDALGetRasterBand(source, b);
    if (level >= 0) band = GDALGetOverview(band, level);
    if (band == nullptr) return false;
    sourceBands_.push_back(band);
  }
  sourceRatioX_ = (double)GDALGetRasterXSize(dataset) / GDALGetRasterBandXSize(sourceBands_[0]);
  sourceRatioY_ = (double)GDALGetRasterYSize(dataset) / GDALGetRasterBandYSize(sourceBands_[0]);
  return true;
}

// Eight-bit bands are copied; once any band is wider, every band is
// stretched: read in 16 bits and looked up in a table where each band fits
// them (all unsigned or all signed), otherwise read as doubles.
bool StripReader::ChooseForm() {
  stretchers_.clear();
  tables_.clear();
  stretchOf_ = {};
  if (image_->paletted) {
    form_ = Form::kPalette;
    type_ = GDT_Int32;
    return true;
  }
  bool unsigned16 = true, signed16 = true, bytes = true;
  for (int b : gdalBands_) {
    GDALDataType t = GDALGetRasterDataType(GDALGetRasterBand(image_->dataset, b));
    bytes = bytes && t == GDT_Byte;
    unsigned16 = unsigned16 && (t == GDT_Byte || t == GDT_UInt16);
    signed16 = signed16 && t == GDT_Int16;
  }
  if (bytes) {
    form_ = Form::kBytes;
    type_ = GDT_Byte;
    return true;
  }
  form_ = unsigned16 || signed16 ? Form::kTable : Form::kStretch;
  type_ = unsigned16 ? GDT_UInt16 : signed16 ? GDT_Int16 : GDT_Float64;
  std::vector<Stretch> stretches;
  for (int b : gdalBands_) {
    Stretch s;
    if (!image_->StretchOf(b, &s, &failReason_)) return false;
    stretches.push_back(s);
    if (form_ == Form::kTable) {
      const uint8_t *table = image_->TableOf(b, signed16, &failReason_);
      if (table == nullptr) return false;
      tables_.push_back(table);
    } else {
      stretchers_.emplace_back(s);
    }
  }
  for (int k = 0; k < 3; ++k) stretchOf_[k] = stretches[(size_t)channelOf_[k]];
  return true;
}

int StripReader::Set(Image *image, const std::vector<uint32_t> &bands, const Region &region) {
  Stop();
  set_ = false;
  failError_ = 0;
  failReason_.clear();
  image_ = image;
  region_ = region;
  // One band or two give grey from the first; three or more give R, G, B.
  size_t used = bands.size() >= 3 ? 3 : 1;
  gdalBands_.clear();
  if (image->paletted) {
    gdalBands_.push_back(1);
    for (size_t i = 0; i < used; ++i) channelOf_[i] = (int)bands[i];  // c1, c2, c3
  } else {
    // Bands labelled red, green and blue are those colours wherever they lie.
    const int labelled[3] = {BandLabelled(image->dataset, GCI_RedBand),
                             BandLabelled(image->dataset, GCI_GreenBand),
                             BandLabelled(image->dataset, GCI_BlueBand)};
    const bool colours = used == 3 && labelled[0] && labelled[1] && labelled[2];
    for (size_t i = 0; i < used; ++i) {
      uint32_t b = bands[i];
      gdalBands_.push_back(colours && b < 3 ? labelled[b] : (int)b + 1);
      channelOf_[i] = (int)i;
    }
  }
  if (used == 1) channelOf_[1] = channelOf_[2] = channelOf_[0];
  if (!ChooseForm()) return EINVAL;

  sampleSize_ = (size_t)GDALGetDataTypeSizeBytes(type_);
  blackout_.Prepare(image->dataset, gdalBands_, Layout().kind,
                    form_ == Form::kTable || form_ == Form::kStretch);
  // A mask plane, when one is read, follows the samples: a byte a pixel.
  const size_t sampleBytes = (size_t)region.windowWidth * gdalBands_.size() * sampleSize_;
  size_t lineBytes = sampleBytes + (blackout_.readsMask() ? (size_t)region.windowWidth : 0);
  if (lineBytes == 0 || lineBytes > kMaxLineBytes) return ENOMEM;
  size_t fit = kMaxStripBytes / lineBytes;
  size_t most = image->remote ? (size_t)region.windowHeight : (size_t)kMaxStripLines;
  stripLines_ = (int)std::max<size_t>(1, std::min<size_t>({fit, most,
                                                            (size_t)region.windowHeight}));
  bool oneToOne = region.windowWidth == region.width && region.windowHeight == region.height;
  resampling_ = oneToOne || image->paletted ? GRIORA_NearestNeighbour : GRIORA_Average;
  sampled_ = 0;
  sampledWhole_ = false;
  if (!oneToOne) {
    if (!ChooseSource(resampling_)) return EINVAL;
    double covered = (double)region.width / sourceRatioX_ / region.windowWidth *
                     ((double)region.height / sourceRatioY_ / region.windowHeight);
    if (resampling_ == GRIORA_Average && covered > kMaxAveragedPixels) {
      resampling_ = GRIORA_NearestNeighbour;
      sampled_ = covered;
      // Samples of the full image are read from the image itself, all bands
      // at once: GDAL may take them from a reduced level of its own that no
      // overview lists (a JPEG's tiles decoded at 1/8), as gdal_translate.
      sampledWhole_ = flat_;
      if (flat_)
        for (size_t i = 0; i < gdalBands_.size(); ++i)
          sourceBands_[i] = GDALGetRasterBand(image->dataset, gdalBands_[i]);
    }
  }
  maskOffset_ = sampleBytes * (size_t)stripLines_;
  nextLine_ = 0;
  auto read = [this](int first, int count, uint8_t *strip, const std::atomic<bool> &stop) {
    return ReadStrip(first, count, strip, stop);
  };
  const size_t stripBytes = lineBytes * (size_t)stripLines_;
  bool readAhead = false;
  if (int error = FitView(stripBytes, region.windowHeight > stripLines_ ? 2 : 1, &readAhead,
                          &failReason_))
    return error;
  if (!pipeline_.Start(region.windowHeight, stripLines_, stripBytes, read, readAhead))
    return ENOMEM;
  set_ = true;
  return 0;
}

bool StripReader::ReadStrip(int first, int count, uint8_t *strip,
                            const std::atomic<bool> &stop) const {
  GdalMessages messages(image_->remote);  // on whichever thread reads
  try {
    if (ReadSamples(first, count, strip, stop)) return true;
    if (!stop) {
      failError_ = messages.Error(EIO);
      failReason_ = messages.Reason();
    }
  } catch (const std::bad_alloc &) {  // from GDAL's own allocations
    failError_ = ENOMEM;
    failReason_.clear();
  }
  return false;
}

bool StripReader::ReadSamples(int first, int count, uint8_t *strip,
                              const std::atomic<bool> &stop) const {
  const Region &r = region_;
  // Eight-bit samples lie R, G, B in the strip, as a line needs them; wider
  // ones band after band, each a block of stripLines_ lines (GDAL copies
  // them fastest so, and they are converted anyway).
  size_t nb = gdalBands_.size();
  bool planar = form_ == Form::kTable || form_ == Form::kStretch;
  int pixelSpace = (int)(planar ? sampleSize_ : nb * sampleSize_);
  GSpacing lineSpace = (GSpacing)pixelSpace * r.windowWidth;
  GSpacing bandSpace = planar ? lineSpace * stripLines_ : (GSpacing)sampleSize_;
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.pfnProgress = KeepGoing;
  extra.pProgressData = const_cast<std::atomic<bool> *>(&stop);
  uint8_t *mask = strip + maskOffset_;
  if (r.windowWidth == r.width && r.windowHeight == r.height) {
    return GDALDatasetRasterIOEx(image_->dataset, GF_Read, r.left, r.top + first, r.width, count,
                                 strip, r.windowWidth, count, type_, (int)nb,
                                 const_cast<int *>(gdalBands_.data()), pixelSpace, lineSpace,
                                 bandSpace, &extra) == CE_None &&
           (!blackout_.readsMask() ||
            GDALRasterIOEx(Blackout::MaskOf(GDALGetRasterBand(image_->dataset, gdalBands_[0])),
                           GF_Read, r.left, r.top + first, r.width, count, mask, r.windowWidth,
                           count, GDT_Byte, 1, r.windowWidth, &extra) == CE_None);
  }
  // The strip's share of the source, in fractional rows, so that strips
  // sample exactly where one read of the whole window would.
  double step = (double)r.height / r.windowHeight;
  double rx = sourceRatioX_, ry = sourceRatioY_;
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
  if (sampledWhole_) {
    // All bands at once: a block holding them all is decoded once.
    if (GDALDatasetRasterIOEx(image_->dataset, GF_Read, xOff, yOff, xEnd - xOff, yEnd - yOff,
                              strip, r.windowWidth, count, type_, (int)nb,
                              const_cast<int *>(gdalBands_.data()), pixelSpace, lineSpace,
                              bandSpace, &extra) != CE_None)
      return false;
  } else {
    for (size_t i = 0; i < nb; ++i)
      if (GDALRasterIOEx(sourceBands_[i], GF_Read, xOff, yOff, xEnd - xOff, yEnd - yOff,
                         strip + i * (size_t)bandSpace, r.windowWidth, count, type_, pixelSpace,
                         lineSpace, &extra) != CE_None)
        return false;
  }
  return !blackout_.readsMask() ||
         GDALRasterIOEx(Blackout::MaskOf(sourceBands_[0]), GF_Read, xOff, yOff, xEnd - xOff,
                        yEnd - yOff, mask, r.windowWidth, count, GDT_Byte, 1, r.windowWidth,
                        &extra) == CE_None;
}

StripLayout StripReader::Layout() const {
  StripLayout layout;
  layout.kind = form_ == Form::kBytes     ? StripLayout::kBytes
                : form_ == Form::kPalette ? StripLayout::kIndex
                : type_ == GDT_UInt16     ? StripLayout::kUnsigned16
                : type_ == GDT_Int16      ? StripLayout::kSigned16
                                          : StripLayout::kDouble;
  layout.channels = gdalBands_.size();
  layout.width = (size_t)region_.windowWidth;
  layout.lines = (size_t)stripLines_;
  layout.planar = form_ == Form::kTable || form_ == Form::kStretch;
  return layout;
}

void StripReader::ConvertLine(const uint8_t *strip, size_t line, uint8_t *rgb) const {
  ConvertSamples(strip, line, rgb);
  if (blackout_.active()) blackout_.Apply(strip, line, Layout(), maskOffset_, rgb);
}

// The loops keep what they need in locals: the compiler cannot tell that a
// byte written to the line leaves the reader's members unchanged.
void StripReader::ConvertSamples(const uint8_t *strip, size_t line, uint8_t *rgb) const {
  const size_t width = (size_t)region_.windowWidth;
  if (form_ == Form::kBytes) {
    const uint8_t *row = strip + line * width * gdalBands_.size();
    if (gdalBands_.size() == 3) {
      memcpy(rgb, row, width * 3);
    } else {
      for (size_t x = 0; x < width; ++x) rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = row[x];
    }
    return;
  }
  if (form_ == Form::kPalette) {
    const uint8_t *row = strip + line * width * 4;
    const std::array<uint8_t, 3> *palette = image_->palette.data();
    const size_t entries = image_->palette.size();
    const size_t c0 = (size_t)channelOf_[0], c1 = (size_t)channelOf_[1],
                 c2 = (size_t)channelOf_[2];
    for (size_t x = 0; x < width; ++x) {
      int32_t index;
      memcpy(&index, row + 4 * x, sizeof index);
      if (index >= 0 && (size_t)index < entries) {
        const std::array<uint8_t, 3> &e = palette[index];
        rgb[3 * x] = e[c0];
        rgb[3 * x + 1] = e[c1];
        rgb[3 * x + 2] = e[c2];
      } else {
        rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = 0;
      }
    }
    return;
  }
  const size_t lineBytes = width * sampleSize_, planeBytes = lineBytes * (size_t)stripLines_;
  const uint8_t *p0 = strip + (size_t)channelOf_[0] * planeBytes + line * lineBytes;
  const uint8_t *p1 = strip + (size_t)channelOf_[1] * planeBytes + line * lineBytes;
  const uint8_t *p2 = strip + (size_t)channelOf_[2] * planeBytes + line * lineBytes;
  if (form_ == Form::kTable) {
    const uint8_t *t0 = tables_[(size_t)channelOf_[0]], *t1 = tables_[(size_t)channelOf_[1]],
                  *t2 = tables_[(size_t)channelOf_[2]];
    for (size_t x = 0; x < width; ++x) {
      uint16_t v0, v1, v2;
      memcpy(&v0, p0 + 2 * x, 2);
      memcpy(&v1, p1 + 2 * x, 2);
      memcpy(&v2, p2 + 2 * x, 2);
      rgb[3 * x] = t0[v0];
      rgb[3 * x + 1] = t1[v1];
      rgb[3 * x + 2] = t2[v2];
    }
  } else {
    const Stretcher s0 = stretchers_[(size_t)channelOf_[0]];
    const Stretcher s1 = stretchers_[(size_t)channelOf_[1]];
    const Stretcher s2 = stretchers_[(size_t)channelOf_[2]];
    for (size_t x = 0; x < width; ++x) {
      double v0, v1, v2;
      memcpy(&v0, p0 + 8 * x, 8);
      memcpy(&v1, p1 + 8 * x, 8);
      memcpy(&v2, p2 + 8 * x, 8);
      rgb[3 * x] = s0(v0);
      rgb[3 * x + 1] = s1(v1);
      rgb[3 * x + 2] = s2(v2);
    }
  }
}

bool StripReader::NextLine(uint8_t *rgb) {
  if (!set_ || nextLine_ >= region_.windowHeight) return false;
  int first = 0;
  const uint8_t *strip = pipeline_.Strip(nextLine_, &first);
  if (strip == nullptr) return false;
  ConvertLine(strip, (size_t)(nextLine_ - first), rgb);
  ++nextLine_;
  return true;
}

}  // namespace ncsecwex
