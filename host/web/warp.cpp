#include "warp.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "cpl_error.h"
#include "cpl_string.h"
#include "gdal_alg.h"
#include "gdalwarper.h"

namespace rhl {
namespace web {
namespace {

// Pixels of the target to pixels of the source and back, through each one's
// geotransform and, between their CRSs, the transformations lent for it.
struct Chain {
  GeoTransform target, targetInverse, source, sourceInverse;
  const CrsList::Transform *toSource, *toTarget;
};

void Apply(const GeoTransform &g, int n, double *x, double *y) {
  for (int i = 0; i < n; ++i) {
    double px = x[i], py = y[i];
    x[i] = g[0] + px * g[1] + py * g[2];
    y[i] = g[3] + px * g[4] + py * g[5];
  }
}

int ChainTransform(void *arg, int targetToSource, int n, double *x, double *y, double *,
                   int *success) {
  const Chain &c = *static_cast<const Chain *>(arg);
  Apply(targetToSource ? c.target : c.source, n, x, y);
  (targetToSource ? c.toSource : c.toTarget)->Points(n, x, y, success);
  Apply(targetToSource ? c.sourceInverse : c.targetInverse, n, x, y);
  return TRUE;
}

// An in-memory dataset of `bands` bytes a pixel over `data`, which it does
// not copy or own.
GDALDatasetH Wrap(uint8_t *data, int width, int height, int bands) {
  static GDALDriverH mem = GDALGetDriverByName("MEM");
  GDALDatasetH ds = GDALCreate(mem, "", width, height, 0, GDT_Byte, nullptr);
  if (ds == nullptr) return nullptr;
  for (int b = 0; b < bands; ++b) {
    char pointer[64], pixel[32], line[32];
    snprintf(pointer, sizeof pointer, "DATAPOINTER=%p", static_cast<void *>(data + b));
    snprintf(pixel, sizeof pixel, "PIXELOFFSET=%d", bands);
    snprintf(line, sizeof line, "LINEOFFSET=%lld", (long long)width * bands);
    char *options[] = {pointer, pixel, line, nullptr};
    if (GDALAddBand(ds, GDT_Byte, options) != CE_None) {
      GDALClose(ds);
      return nullptr;
    }
  }
  return ds;
}

bool NorthUp(const GeoTransform &g) { return g[2] == 0 && g[4] == 0 && g[1] != 0 && g[5] != 0; }

// The target pixels [first, last] whose centres lie on a source of `size`
// pixels, which the target's pixel i has its centre at offset + (i + 0.5) *
// step of. Empty (first > last) when none does.
void Covered(double offset, double step, int size, int targetSize, int *first, int *last) {
  double lo = ceil(-offset / step - 0.5), hi = ceil((size - offset) / step - 0.5) - 1;
  *first = (int)std::max(0.0, std::min(lo, (double)targetSize));
  *last = (int)std::min((double)targetSize - 1, std::max(hi, -1.0));
}

// A target that is the source scaled and shifted: GDAL's resampled read of
// the source's window under the covered target pixels. A target pixel at
// the source's edge reaches up to half a step past it, so the read is from
// a copy of the source with its edge pixels repeated around it.
bool Scaled(const WarpSource &s, const WarpTarget &t, std::string *error) {
  const double stepX = t.gt[1] / s.gt[1], stepY = t.gt[5] / s.gt[5];
  const double offX = (t.gt[0] - s.gt[0]) / s.gt[1], offY = (t.gt[3] - s.gt[3]) / s.gt[5];
  int x0, x1, y0, y1;
  Covered(offX, stepX, s.width, t.width, &x0, &x1);
  Covered(offY, stepY, s.height, t.height, &y0, &y1);
  if (x0 > x1 || y0 > y1) return true;
  const int pad = (int)ceil(std::max(stepX, stepY) / 2) + 1;
  const int pw = s.width + 2 * pad, ph = s.height + 2 * pad, w = x1 - x0 + 1, h = y1 - y0 + 1;
  std::vector<uint8_t> padded((size_t)pw * ph * 3), out((size_t)w * h * 3);
  for (int y = 0; y < ph; ++y) {
    const uint8_t *from = s.rgb + (size_t)std::min(std::max(y - pad, 0), s.height - 1) * s.width * 3;
    uint8_t *to = padded.data() + (size_t)y * pw * 3;
    for (int x = 0; x < pad; ++x) memcpy(to + 3 * x, from, 3);
    memcpy(to + 3 * pad, from, (size_t)s.width * 3);
    for (int x = pad + s.width; x < pw; ++x) memcpy(to + 3 * x, from + (size_t)(s.width - 1) * 3, 3);
  }
  GDALDatasetH src = Wrap(padded.data(), pw, ph, 3);
  if (src == nullptr) {
    *error = "out of memory";
    return false;
  }
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = (GDALRIOResampleAlg)s.resampling;
  extra.bFloatingPointWindowValidity = TRUE;
  extra.dfXOff = pad + offX + x0 * stepX;
  extra.dfYOff = pad + offY + y0 * stepY;
  extra.dfXSize = w * stepX;
  extra.dfYSize = h * stepY;
  const int left = std::max(0, (int)floor(extra.dfXOff)), top = std::max(0, (int)floor(extra.dfYOff));
  const int right = std::min(pw, (int)ceil(extra.dfXOff + extra.dfXSize));
  const int bottom = std::min(ph, (int)ceil(extra.dfYOff + extra.dfYSize));
  int bands[3] = {1, 2, 3};
  bool ok = right > left && bottom > top &&
            GDALDatasetRasterIOEx(src, GF_Read, left, top, right - left, bottom - top, out.data(),
                                  w, h, GDT_Byte, 3, bands, 3, (GSpacing)w * 3, 1,
                                  &extra) == CE_None;
  GDALClose(src);
  if (!ok) {
    *error = CPLGetLastErrorMsg();
    if (error->empty()) *error = "out of memory";
    *error = "the resampled read failed: " + *error;
    return false;
  }
  for (int y = 0; y < h; ++y) {
    const uint8_t *from = out.data() + (size_t)y * w * 3;
    uint8_t *to = t.rgba + ((size_t)(y0 + y) * t.width + x0) * 4;
    for (int x = 0; x < w; ++x, from += 3, to += 4) {
      memcpy(to, from, 3);
      to[3] = 255;
    }
  }
  return true;
}

bool Warped(const WarpSource &source, const WarpTarget &target, const CrsList::Transform &toSource,
            const CrsList::Transform &toTarget, std::string *error) {
  Chain chain{target.gt, {}, source.gt, {}, &toSource, &toTarget};
  if (!GDALInvGeoTransform(chain.target.data(), chain.targetInverse.data()) ||
      !GDALInvGeoTransform(chain.source.data(), chain.sourceInverse.data())) {
    *error = "a grid without extent";
    return false;
  }
  // The warper only reads the source; the dataset's interface asks for a
  // writable pointer.
  GDALDatasetH src = Wrap(const_cast<uint8_t *>(source.rgb), source.width, source.height, 3);
  GDALDatasetH dst = Wrap(target.rgba, target.width, target.height, 4);
  void *approx = GDALCreateApproxTransformer(ChainTransform, &chain, 0.125);
  bool ok = false;
  if (src != nullptr && dst != nullptr && approx != nullptr) {
    GDALWarpOptions *o = GDALCreateWarpOptions();
    o->hSrcDS = src;
    o->hDstDS = dst;
    o->eResampleAlg = (GDALResampleAlg)source.resampling;
    o->eWorkingDataType = GDT_Byte;
    o->nBandCount = 3;
    o->panSrcBands = static_cast<int *>(CPLMalloc(3 * sizeof(int)));
    o->panDstBands = static_cast<int *>(CPLMalloc(3 * sizeof(int)));
    for (int b = 0; b < 3; ++b) o->panSrcBands[b] = o->panDstBands[b] = b + 1;
    // The canvas's alpha is what lies there already: the view goes over it.
    o->nDstAlphaBand = 4;
    if (source.blackIsNodata) {
      o->padfSrcNoDataReal = static_cast<double *>(CPLCalloc(3, sizeof(double)));
      o->papszWarpOptions = CSLSetNameValue(o->papszWarpOptions, "UNIFIED_SRC_NODATA", "YES");
    }
    o->papszWarpOptions = CSLSetNameValue(o->papszWarpOptions, "SKIP_NOSOURCE", "YES");
    // The view is made at the map's resolution: the warper need not widen
    // its kernel to average, and its quick path for a 1:1 kernel is kept.
    o->papszWarpOptions = CSLSetNameValue(o->papszWarpOptions, "XSCALE", "1");
    o->papszWarpOptions = CSLSetNameValue(o->papszWarpOptions, "YSCALE", "1");
    o->pfnTransformer = GDALApproxTransform;
    o->pTransformerArg = approx;
    GDALWarpOperation operation;
    ok = operation.Initialize(o) == CE_None &&
         operation.ChunkAndWarpImage(0, 0, target.width, target.height) == CE_None;
    GDALDestroyWarpOptions(o);
  }
  if (!ok) {
    *error = CPLGetLastErrorMsg();
    if (error->empty()) *error = "out of memory";
    *error = "the warp failed: " + *error;
  }
  if (approx != nullptr) GDALDestroyApproxTransformer(approx);
  if (src != nullptr) GDALClose(src);
  if (dst != nullptr) GDALClose(dst);
  return ok;
}

}  // namespace

const char *const kResamplingNames[7] = {"near",    "bilinear", "cubic", "cubicspline",
                                         "lanczos", "average",  "mode"};

int ResamplingByName(const std::string &name) {
  // The names are in the order of GDAL's methods, nearest first.
  for (int i = 0; i < 7; ++i)
    if (name == kResamplingNames[i]) return i;
  return -1;
}

bool Warp(const WarpSource &source, const WarpTarget &target, const CrsList::Transform &toSource,
          const CrsList::Transform &toTarget, std::string *error) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  CPLErrorReset();
  // The view is made at the map's resolution or finer, so a map pixel spans
  // about one view pixel or less; past a few, the warper's way is kept.
  const double stepX = target.gt[1] / source.gt[1], stepY = target.gt[5] / source.gt[5];
  const bool scaled = toSource.identity() && NorthUp(source.gt) && NorthUp(target.gt) &&
                      !source.blackIsNodata && source.width > 0 && source.height > 0 &&
                      stepX > 0 && stepX <= 4 && stepY > 0 && stepY <= 4;
  try {
    return scaled ? Scaled(source, target, error)
                  : Warped(source, target, toSource, toTarget, error);
  } catch (const std::bad_alloc &) {
    *error = "out of memory";
    return false;
  }
}

}  // namespace web
}  // namespace rhl
