// What the RGB form shows as black: a pixel that is nodata in any band read
// (in a paletted image, its nodata index or an entry whose alpha is 0), or
// transparent by the image's mask (an alpha band, or a mask of its own:
// alpha 0, or outside the mask). A stretched image with any of these keeps
// its valid pixels off pure black, so that black there means nodata alone
// (8-bit data is delivered as it is, black included).
#ifndef NCSECWEX_BLACKOUT_H
#define NCSECWEX_BLACKOUT_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "gdal.h"

namespace ncsecwex {

// How samples lie in a strip: interleaved (8-bit samples, or a palette's
// 32-bit indexes) or planar, each channel `lines` lines of `width` samples.
struct StripLayout {
  enum Kind { kBytes, kIndex, kUnsigned16, kSigned16, kDouble } kind = kBytes;
  size_t channels = 1, width = 0, lines = 0;
  bool planar = false;
};

class Blackout {
 public:
  // Learns what is black among `dataset`'s bands `gdalBands` (from 1) read as
  // `kind` samples; `stretched` when those are stretched into 0-255.
  void Prepare(GDALDatasetH dataset, const std::vector<int> &gdalBands, StripLayout::Kind kind,
               bool stretched);
  bool active() const { return active_; }
  // Whether a mask plane is read beside the samples, and from which band:
  // the mask of `band`, the source's band of the first channel.
  bool readsMask() const { return readsMask_; }
  static GDALRasterBandH MaskOf(GDALRasterBandH band) { return GDALGetMaskBand(band); }
  // Blacks out the pixels of line `line` of `strip` in `rgb` (its mask plane,
  // when read, at `maskOffset`: `lines` lines of `width` bytes).
  void Apply(const uint8_t *strip, size_t line, const StripLayout &layout, size_t maskOffset,
             uint8_t *rgb) const;

 private:
  bool IsNodata(const uint8_t *strip, size_t line, size_t x, const StripLayout &layout) const;

  bool active_ = false, readsMask_ = false, lift_ = false, anyNodata_ = false;
  std::vector<bool> hasNodata_;   // by channel
  std::vector<double> nodata_;    // by channel
  std::vector<bool> clearEntry_;  // a palette's entries shown black
};

}  // namespace ncsecwex

#endif
