// How data wider than 8 bits becomes the 0-255 of an RGB line: a linear
// stretch per band between the 2nd and 98th percentiles of the band's finite
// values (the cumulative cut desktop GIS applies by default), so that a few
// extreme pixels do not darken or wash out the image. The values come from a
// sample: the smallest overview holding at least kSamplePixels pixels, or
// blocks spread over the image when it has no such overview.
#ifndef NCSECWEX_STATS_H
#define NCSECWEX_STATS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "gdal.h"

namespace ncsecwex {

constexpr int kCutLowPercent = 2, kCutHighPercent = 98;
// The sample: an overview with at least this many pixels is read whole...
constexpr uint64_t kSamplePixels = 512 * 512;
// ... and a band of at most this many is read whole; a larger one is read in
// blocks spread over it, about this many pixels in all.
constexpr uint64_t kMaxSamplePixels = 1024 * 1024;

// Values at or below `low` become 0, at or above `high` 255, linearly
// between; with no range (high <= low) everything is 0.
struct Stretch {
  double low = 0, high = 0;
};

// The stretch of `values` (reordered): the cut's percentiles, or the least
// and greatest value where the cut leaves no range; non-finite values are
// left out, and with none left there is no range.
Stretch CutOf(std::vector<double> &values);

// The stretch of a band from its sample; false when the band cannot be read.
bool ComputeStretch(GDALRasterBandH band, Stretch *stretch);

// A stretch ready to apply to many values.
class Stretcher {
 public:
  Stretcher() = default;
  explicit Stretcher(const Stretch &s)
      : low_(s.low), factor_(s.high > s.low ? 255.0 / (s.high - s.low) : 0.0) {}
  // floor((v - low) * 255 / (high - low) + 0.5), held to 0-255; NaN is 0.
  uint8_t operator()(double v) const {
    double s = (v - low_) * factor_ + 0.5;
    if (!(s >= 1.0)) return 0;
    if (s >= 255.0) return 255;
    return (uint8_t)s;
  }

 private:
  double low_ = 0, factor_ = 0;
};

}  // namespace ncsecwex

#endif
