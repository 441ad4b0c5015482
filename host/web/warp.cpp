#include "warp.h"

#include <stdio.h>

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

}  // namespace web
}  // namespace rhl
