#include "blackout.h"

#include <math.h>
#include <string.h>

namespace ncsecwex {
namespace {

// Whether samples of `kind` can hold `value` at all (a 16-bit band's
// nodata of -9999 never matches).
bool Holds(StripLayout::Kind kind, double value) {
  if (kind == StripLayout::kDouble) return true;
  if (!(value == floor(value))) return false;
  switch (kind) {
    case StripLayout::kBytes: return value >= 0 && value <= 255;
    case StripLayout::kUnsigned16: return value >= 0 && value <= 65535;
    case StripLayout::kSigned16: return value >= -32768 && value <= 32767;
    default: return value >= INT32_MIN && value <= INT32_MAX;
  }
}

}  // namespace

void Blackout::Prepare(GDALDatasetH dataset, const std::vector<int> &gdalBands,
                       StripLayout::Kind kind, bool stretched) {
  hasNodata_.assign(gdalBands.size(), false);
  nodata_.assign(gdalBands.size(), 0);
  clearEntry_.clear();
  anyNodata_ = false;
  for (size_t c = 0; c < gdalBands.size(); ++c) {
    int has = 0;
    double value = GDALGetRasterNoDataValue(GDALGetRasterBand(dataset, gdalBands[c]), &has);
    if (has && Holds(kind, value)) {
      hasNodata_[c] = anyNodata_ = true;
      nodata_[c] = value;
    }
  }
  GDALRasterBandH first = GDALGetRasterBand(dataset, gdalBands[0]);
  if (kind == StripLayout::kIndex) {
    GDALColorTableH table = GDALGetRasterColorTable(first);
    int entries = table != nullptr ? GDALGetColorEntryCount(table) : 0;
    bool any = false;
    clearEntry_.assign((size_t)entries, false);
    for (int i = 0; i < entries; ++i) {
      const GDALColorEntry *e = GDALGetColorEntry(table, i);
      clearEntry_[(size_t)i] = e != nullptr && e->c4 == 0;
      any = any || clearEntry_[(size_t)i];
    }
    if (!any) clearEntry_.clear();
  }
  int flags = GDALGetMaskFlags(first);
  readsMask_ = (flags & GMF_PER_DATASET) != 0 && (flags & GMF_ALL_VALID) == 0;
  active_ = anyNodata_ || readsMask_ || !clearEntry_.empty();
  lift_ = active_ && stretched;
}

bool Blackout::IsNodata(const uint8_t *strip, size_t line, size_t x,
                        const StripLayout &layout) const {
  const size_t pixel = line * layout.width + x;
  for (size_t c = 0; c < layout.channels; ++c) {
    if (!hasNodata_[c]) continue;
    double v;
    if (!layout.planar) {
      if (layout.kind == StripLayout::kBytes) {
        v = strip[pixel * layout.channels + c];
      } else {
        int32_t index;
        memcpy(&index, strip + pixel * 4, 4);
        v = index;
      }
    } else {
      size_t size = layout.kind == StripLayout::kDouble ? 8 : 2;
      const uint8_t *at = strip + (c * layout.lines * layout.width + pixel) * size;
      if (layout.kind == StripLayout::kDouble) {
        memcpy(&v, at, 8);
      } else if (layout.kind == StripLayout::kUnsigned16) {
        uint16_t u;
        memcpy(&u, at, 2);
        v = u;
      } else {
        int16_t s;
        memcpy(&s, at, 2);
        v = s;
      }
    }
    if (v == nodata_[c] || (isnan(v) && isnan(nodata_[c]))) return true;
  }
  return false;
}

void Blackout::Apply(const uint8_t *strip, size_t line, const StripLayout &layout,
                     size_t maskOffset, uint8_t *rgb) const {
  const uint8_t *mask = readsMask_ ? strip + maskOffset + line * layout.width : nullptr;
  for (size_t x = 0; x < layout.width; ++x) {
    bool black = mask != nullptr && mask[x] == 0;
    if (!black && !clearEntry_.empty()) {
      int32_t index;
      memcpy(&index, strip + (line * layout.width + x) * 4, 4);
      black = index >= 0 && (size_t)index < clearEntry_.size() && clearEntry_[(size_t)index];
    }
    if (!black && anyNodata_) black = IsNodata(strip, line, x, layout);
    uint8_t *p = rgb + 3 * x;
    if (black) {
      p[0] = p[1] = p[2] = 0;
    } else if (lift_ && p[0] == 0 && p[1] == 0 && p[2] == 0) {
      p[0] = p[1] = p[2] = 1;
    }
  }
}

}  // namespace ncsecwex
