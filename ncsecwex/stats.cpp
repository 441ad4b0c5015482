#include "stats.h"

#include <math.h>

#include <algorithm>
#include <new>

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

bool ComputeStretch(GDALRasterBandH band, Stretch *stretch) {
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
