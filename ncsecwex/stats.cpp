#include "stats.h"

#include <math.h>

#include <stdlib.h>

#include <algorithm>
#include <new>

#include "cpl_conv.h"
#include "cpl_string.h"

namespace ncsecwex {
namespace {

// Adds the finite values of a window of `band`, read as doubles, but for its
// nodata value (nodata pixels are black, whatever the stretch).
bool AddWindow(GDALRasterBandH band, int x, int y, int width, int height,
               std::vector<double> &buffer, std::vector<double> &values) {
  buffer.resize((size_t)width * (size_t)height);
  if (GDALRasterIO(band, GF_Read, x, y, width, height, buffer.data(), width, height, GDT_Float64,
                   0, 0) != CE_None)
    return false;
  int hasNodata = 0;
  double nodata = GDALGetRasterNoDataValue(band, &hasNodata);
  for (double v : buffer)
    if (std::isfinite(v) && !(hasNodata && v == nodata)) values.push_back(v);
  return true;
}

// The sample's finite values: the whole band when it is small enough,
// otherwise whole blocks on a regular grid over it.
bool SampleValues(GDALRasterBandH band, std::vector<double> &values) {
  int width = GDALGetRasterBandXSize(band), height = GDALGetRasterBandYSize(band);
  uint64_t pixels = (uint64_t)width * (uint64_t)height;
  std::vector<double> buffer;
  if (pixels <= kMaxSamplePixels) return AddWindow(band, 0, 0, width, height, buffer, values);

  int blockWidth = 0, blockHeight = 0;
  GDALGetBlockSize(band, &blockWidth, &blockHeight);
  blockWidth = std::max(1, std::min(blockWidth, width));
  blockHeight = std::max(1, std::min(blockHeight, height));
  // Rows of blocks shorter than a few lines are read a few lines at a time.
  blockHeight = std::max(blockHeight, std::min(height, 16));
  int across = (width + blockWidth - 1) / blockWidth;
  int down = (height + blockHeight - 1) / blockHeight;
  double ratio = (double)pixels / (double)kMaxSamplePixels;  // > 1
  int stepX = std::min(across, std::max(1, (int)ceil(sqrt(ratio))));
  int stepY = std::min(down, std::max(1, (int)ceil(ratio / stepX)));
  for (int by = stepY / 2; by < down; by += stepY) {
    for (int bx = stepX / 2; bx < across; bx += stepX) {
      int x = bx * blockWidth, y = by * blockHeight;
      if (!AddWindow(band, x, y, std::min(blockWidth, width - x), std::min(blockHeight, height - y),
                     buffer, values))
        return false;
    }
  }
  return true;
}

}  // namespace

Stretch CutOf(std::vector<double> &values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return !std::isfinite(v); }),
               values.end());
  Stretch s;
  if (values.empty()) return s;
  size_t last = values.size() - 1;
  size_t lowRank = last * kCutLowPercent / 100;
  size_t highRank = (last * kCutHighPercent + 99) / 100;
  std::nth_element(values.begin(), values.begin() + lowRank, values.end());
  s.low = values[lowRank];
  std::nth_element(values.begin() + lowRank, values.begin() + highRank, values.end());
  s.high = values[highRank];
  if (!(s.high > s.low)) {
    auto range = std::minmax_element(values.begin(), values.end());
    s.low = *range.first;
    s.high = *range.second;
  }
  return s;
}

bool CutOfHistogram(double min, double max, int buckets, const GUIntBig *counts, Stretch *stretch) {
  if (buckets < 1 || counts == nullptr || !std::isfinite(min) || !std::isfinite(max) || !(max > min))
    return false;
  double total = 0;
  for (int i = 0; i < buckets; ++i) total += (double)counts[i];
  if (!(total > 0)) return false;
  const double width = (max - min) / buckets;
  // The value below which `share` of the counts lie, within its bucket
  // as if its values were spread evenly over it.
  auto at = [&](double share) {
    double target = share * total, below = 0;
    for (int i = 0; i < buckets; ++i) {
      double n = (double)counts[i];
      if (n > 0 && below + n >= target) return min + (i + (target - below) / n) * width;
      below += n;
    }
    return max;
  };
  // Within one bucket the share rises with the value, so the cut always
  // leaves a range.
  stretch->low = at(kCutLowPercent / 100.0);
  stretch->high = at(kCutHighPercent / 100.0);
  return true;
}

bool UserRange(int gdalBand, bool *set, Stretch *stretch, std::string *reason) {
  std::string option = std::string(kScaleOption) + "_" + std::to_string(gdalBand);
  const char *value = CPLGetConfigOption(option.c_str(), nullptr);
  if (value == nullptr) {
    option = kScaleOption;
    value = CPLGetConfigOption(kScaleOption, nullptr);
  }
  *set = value != nullptr;
  if (value == nullptr) return true;
  char **words = CSLTokenizeString2(value, " ,", CSLT_HONOURSTRINGS);
  double range[2] = {0, 0};
  bool ok = CSLCount(words) == 2;
  for (int i = 0; ok && i < 2; ++i) {
    char *end = nullptr;
    range[i] = strtod(words[i], &end);
    ok = end != words[i] && *end == '\0' && std::isfinite(range[i]);
  }
  CSLDestroy(words);
  if (!ok || range[0] == range[1]) {
    *reason = option + "='" + value + "' is not a range: give the two values that become 0 and " +
              "255, as for gdal_translate -scale (" + option + "=\"0 4000\")";
    return false;
  }
  stretch->low = range[0];
  stretch->high = range[1];
  return true;
}

namespace {

// The band's own statistics, where the file or its .aux.xml holds them.
bool StoredStretch(GDALRasterBandH band, Stretch *stretch, StretchFrom *from) {
  double min = 0, max = 0;
  int buckets = 0;
  GUIntBig *counts = nullptr;
  bool cut = GDALGetDefaultHistogramEx(band, &min, &max, &buckets, &counts, FALSE, nullptr,
                                       nullptr) == CE_None &&
             CutOfHistogram(min, max, buckets, counts, stretch);
  VSIFree(counts);
  if (cut) {
    *from = StretchFrom::kHistogram;
    return true;
  }
  auto item = [band](const char *name, double *value) {
    const char *text = GDALGetMetadataItem(band, name, nullptr);
    if (text == nullptr) return false;
    char *end = nullptr;
    *value = strtod(text, &end);
    return end != text && std::isfinite(*value);
  };
  if (!item("STATISTICS_MINIMUM", &min) || !item("STATISTICS_MAXIMUM", &max) || max < min)
    return false;
  double mean = 0, deviation = 0;
  stretch->low = min;
  stretch->high = max;
  if (item("STATISTICS_MEAN", &mean) && item("STATISTICS_STDDEV", &deviation) && deviation > 0) {
    stretch->low = std::max(min, mean - kNormal98 * deviation);
    stretch->high = std::min(max, mean + kNormal98 * deviation);
    if (!(stretch->high > stretch->low)) {
      stretch->low = min;
      stretch->high = max;
    }
  }
  *from = StretchFrom::kStatistics;
  return true;
}

}  // namespace

bool ComputeStretch(GDALRasterBandH band, int gdalBand, Stretch *stretch, StretchFrom *from,
                    std::string *reason) {
  bool set = false;
  if (!UserRange(gdalBand, &set, stretch, reason)) return false;
  if (set) {
    *from = StretchFrom::kUser;
    return true;
  }
  if (StoredStretch(band, stretch, from)) return true;
  *from = StretchFrom::kSample;
  GDALRasterBandH source = GDALGetRasterSampleOverviewEx(band, kSamplePixels);
  if (source == nullptr) source = band;
  try {
    std::vector<double> values;
    if (!SampleValues(source, values)) return false;
    *stretch = CutOf(values);
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

}  // namespace ncsecwex
