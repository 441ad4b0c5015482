// How data wider than 8 bits becomes the 0-255 of an RGB line: a linear
// stretch per band, from the first of:
// - the range the user sets for every image, in the manner of gdal_translate's
//   -scale and -scale_N: NCSECWEX_SCALE_<band> for the file's band N, else
//   NCSECWEX_SCALE for every band, each "low high" (GDAL configuration or
//   environment), so that the tiles of one delivery share one stretch;
// - the band's own statistics, in the file or its .aux.xml (gdalinfo -stats
//   or -hist, a desktop GIS): the 2nd and 98th percentiles of a stored
//   histogram, else those of a normal distribution of the stored mean and
//   standard deviation held within the stored minimum and maximum, else
//   that minimum and maximum;
// - a sample of the band: its 2nd and 98th percentiles (the cumulative cut
//   desktop GIS applies by default), so that a few extreme pixels do not
//   darken or wash out the image. The sample is the smallest overview
//   holding at least kSamplePixels pixels, or blocks spread over the image
//   when it has no such overview.
#ifndef NCSECWEX_STATS_H
#define NCSECWEX_STATS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "gdal.h"

namespace ncsecwex {

constexpr int kCutLowPercent = 2, kCutHighPercent = 98;
// The sample: an overview with at least this many pixels is read whole...
constexpr uint64_t kSamplePixels = 512 * 512;
// ... and a band of at most this many is read whole; a larger one is read in
// blocks spread over it, about this many pixels in all.
constexpr uint64_t kMaxSamplePixels = 1024 * 1024;

// The user's settings, GDAL configuration options (or environment variables).
constexpr char kScaleOption[] = "NCSECWEX_SCALE";  // and NCSECWEX_SCALE_<band>
// The standard normal distribution's 98th percentile (the 2nd is its negative).
constexpr double kNormal98 = 2.0537489;

// Values at `low` become 0, at `high` 255, linearly between and held to
// 0-255 beyond (high below low inverts); with no range (high == low)
// everything is 0.
struct Stretch {
  double low = 0, high = 0;
};

// The stretch of `values` (reordered): the cut's percentiles, or the least
// and greatest value where the cut leaves no range; non-finite values are
// left out, and with none left there is no range.
Stretch CutOf(std::vector<double> &values);

// The cut of a stored histogram: `counts` of `buckets` equal buckets from
// `min` to `max`, each bucket's values taken as spread evenly over it;
// false when it holds no value.
bool CutOfHistogram(double min, double max, int buckets, const GUIntBig *counts, Stretch *stretch);

// The range the user set for band `gdalBand` (from 1): true with *set false
// when none is set; false, with the reason, when the setting is not a range.
bool UserRange(int gdalBand, bool *set, Stretch *stretch, std::string *reason);

// Where a stretch came from.
enum class StretchFrom { kUser, kHistogram, kStatistics, kSample };

// The stretch of band `gdalBand` of a dataset; false, with the reason where
// the library has one, when the user's setting cannot be used or the band
// cannot be read.
bool ComputeStretch(GDALRasterBandH band, int gdalBand, Stretch *stretch, StretchFrom *from,
                    std::string *reason);

// A stretch ready to apply to many values.
class Stretcher {
 public:
  Stretcher() = default;
  explicit Stretcher(const Stretch &s)
      : low_(s.low), factor_(s.high != s.low ? 255.0 / (s.high - s.low) : 0.0) {}
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
