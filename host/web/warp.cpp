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
  const CrsList::Transform *toSource = nullptr, *toTarget = nullptr;
};

void Apply(const GeoTransform &g, int n, double *x, double *y) {
  for (int i = 0; i < n; ++i) {
    double px = x[i], py = y[i];
    x[i] = g[0] + px * g[1] + py * g[2];
    y[i] = g[3] + px * g[4] + py * g[5];
  }
}

bool MakeChain(const WarpSource &source, const WarpTarget &target,
               const CrsList::Transform &toSource, const CrsList::Transform &toTarget,
               Chain *chain) {
  *chain = Chain{target.gt, {}, source.gt, {}, &toSource, &toTarget};
  return GDALInvGeoTransform(chain->target.data(), chain->targetInverse.data()) &&
         GDALInvGeoTransform(chain->source.data(), chain->sourceInverse.data());
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

// A part of the target that is the source scaled and shifted: target pixel
// (i, j), for rows first to last, has its centre at source pixel (offX + (i
// + 0.5) * stepX, offY + (j + 0.5) * stepY). Its rows are rows the source
// covers; its columns are those it covers of the target's.
struct Piece {
  double offX, stepX, offY, stepY;
  int first, last;
};

// The source as GDAL's in-memory dataset, with its edge pixels repeated
// `pad` times around it: a target pixel at the source's edge reaches up to
// half a step past it.
class Padded {
 public:
  Padded(const WarpSource &s, int pad)
      : pad_(pad), width_(s.width + 2 * pad), height_(s.height + 2 * pad),
        rgb_((size_t)width_ * height_ * 3) {
    for (int y = 0; y < height_; ++y) {
      const uint8_t *from =
          s.rgb + (size_t)std::min(std::max(y - pad, 0), s.height - 1) * s.width * 3;
      uint8_t *to = rgb_.data() + (size_t)y * width_ * 3;
      for (int x = 0; x < pad; ++x) memcpy(to + 3 * x, from, 3);
      memcpy(to + 3 * pad, from, (size_t)s.width * 3);
      for (int x = pad + s.width; x < width_; ++x)
        memcpy(to + 3 * x, from + (size_t)(s.width - 1) * 3, 3);
    }
    ds_ = Wrap(rgb_.data(), width_, height_, 3);
  }
  ~Padded() {
    if (ds_ != nullptr) GDALClose(ds_);
  }
  Padded(const Padded &) = delete;
  Padded &operator=(const Padded &) = delete;

  // GDAL's resampled read of the source under a piece's covered pixels,
  // drawn over the target.
  bool Draw(const WarpSource &s, const Piece &p, const WarpTarget &t, std::string *error) const {
    if (ds_ == nullptr) {
      *error = "out of memory";
      return false;
    }
    int x0, x1;
    Covered(p.offX, p.stepX, s.width, t.width, &x0, &x1);
    const int y0 = p.first, y1 = p.last;
    if (x0 > x1 || y0 > y1) return true;
    const int w = x1 - x0 + 1, h = y1 - y0 + 1;
    std::vector<uint8_t> out((size_t)w * h * 3);
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    extra.eResampleAlg = (GDALRIOResampleAlg)s.resampling;
    extra.bFloatingPointWindowValidity = TRUE;
    extra.dfXOff = pad_ + p.offX + x0 * p.stepX;
    extra.dfYOff = pad_ + p.offY + y0 * p.stepY;
    extra.dfXSize = w * p.stepX;
    extra.dfYSize = h * p.stepY;
    const int left = std::max(0, (int)floor(extra.dfXOff));
    const int top = std::max(0, (int)floor(extra.dfYOff));
    const int right = std::min(width_, (int)ceil(extra.dfXOff + extra.dfXSize));
    const int bottom = std::min(height_, (int)ceil(extra.dfYOff + extra.dfYSize));
    int bands[3] = {1, 2, 3};
    if (!(right > left && bottom > top) ||
        GDALDatasetRasterIOEx(ds_, GF_Read, left, top, right - left, bottom - top, out.data(), w,
                              h, GDT_Byte, 3, bands, 3, (GSpacing)w * 3, 1, &extra) != CE_None) {
      *error = CPLGetLastErrorMsg();
      if (error->empty()) *error = "a window outside the view";
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

 private:
  int pad_, width_, height_;
  std::vector<uint8_t> rgb_;
  GDALDatasetH ds_ = nullptr;
};

// A map pixel spans about one view pixel or less (the view is made at the
// map's resolution or finer); past a few, the warper's way is kept.
constexpr double kLargestStep = 4;
// How far a piece may place a pixel from where the transformation does, in
// source pixels: the warper's own allowance (gdalwarp -et).
constexpr double kPieceError = 0.125;
// How far from a straight line a transformation that keeps rows and columns
// may be, in source pixels.
constexpr double kStraight = 0.01;

bool DrawPieces(const WarpSource &s, const std::vector<Piece> &pieces, const WarpTarget &t,
                std::string *error) {
  if (pieces.empty()) return true;
  double widest = 0;
  for (const Piece &p : pieces) widest = std::max({widest, p.stepX, p.stepY});
  Padded padded(s, (int)ceil(widest / 2) + 1);
  for (const Piece &p : pieces)
    if (!padded.Draw(s, p, t, error)) return false;
  return true;
}

// Where the transformation between the CRSs keeps the target's columns on
// the source's columns and its rows on its rows (a cylindrical projection
// against longitude and latitude, as Web Mercator is), the target is cut
// into bands of rows, each the source scaled and shifted to within
// kPieceError; which rows the source covers is taken from each row's own
// place. False (and no piece) when it does not.
bool RowBands(const Chain &chain, int width, int height, int sourceHeight,
              std::vector<Piece> *pieces) {
  if (width < 2 || height < 2) return false;
  // Rows at the first, middle and last columns' centres; five columns on the
  // first, middle and last rows.
  const double columns[5] = {0.5, width * 0.25, width * 0.5, width * 0.75, width - 0.5};
  const int rows[3] = {0, height / 2, height - 1};
  std::vector<double> x(3 * (size_t)height + 15), y(x.size());
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < 3; ++k) {
      x[3 * j + k] = columns[2 * k];
      y[3 * j + k] = j + 0.5;
    }
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 5; ++k) {
      x[3 * height + 5 * r + k] = columns[k];
      y[3 * height + 5 * r + k] = rows[r] + 0.5;
    }
  std::vector<int> ok(x.size(), 0);
  ChainTransform(const_cast<Chain *>(&chain), TRUE, (int)x.size(), x.data(), y.data(), nullptr,
                 ok.data());
  for (size_t i = 0; i < x.size(); ++i)
    if (!ok[i] || !std::isfinite(x[i]) || !std::isfinite(y[i])) return false;
  // Columns: the same source column on every row, evenly spaced.
  const double *top = &x[3 * height];
  const double stepX = (top[4] - top[0]) / (width - 1);
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 5; ++k)
      if (fabs(x[3 * height + 5 * r + k] - (top[0] + (columns[k] - 0.5) * stepX)) > kStraight)
        return false;
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < 3; ++k)
      if (fabs(x[3 * j + k] - (top[0] + (columns[2 * k] - 0.5) * stepX)) > kStraight ||
          fabs(y[3 * j + k] - y[3 * j + 1]) > kStraight)
        return false;
  if (!(stepX > 0 && stepX <= kLargestStep)) return false;
  const double offX = top[0] - 0.5 * stepX;
  // Rows: each further down the source than the one before; the covered
  // ones in bands as long as a straight line between their first and last
  // rows' centres stays within kPieceError of every row's.
  auto row = [&](int j) { return y[3 * j + 1]; };
  for (int j = 0; j + 1 < height; ++j)
    if (!(row(j + 1) > row(j))) return false;
  int covered = 0, end = height;
  while (covered < height && row(covered) < 0) ++covered;
  while (end > covered && row(end - 1) >= sourceHeight) --end;
  for (int first = covered; first < end;) {
    int last = first;
    while (last + 1 < end) {
      const int next = last + 1;
      const double step = (row(next) - row(first)) / (next - first);
      bool straight = true;
      for (int j = first + 1; j < next && straight; ++j)
        straight = fabs(row(first) + (j - first) * step - row(j)) <= kPieceError;
      if (!straight) break;
      last = next;
    }
    // A band of one row takes its step from its neighbours.
    const int a = last > first ? first : std::max(first - 1, 0);
    const int b = last > first ? last : std::min(last + 1, height - 1);
    const double stepY = (row(b) - row(a)) / (b - a);
    if (!(stepY <= kLargestStep)) {
      pieces->clear();
      return false;
    }
    pieces->push_back(Piece{offX, stepX, row(first) - (first + 0.5) * stepY, stepY, first, last});
    first = last + 1;
  }
  return true;
}

bool Warped(const WarpSource &source, const WarpTarget &target, const CrsList::Transform &toSource,
            const CrsList::Transform &toTarget, std::string *error) {
  Chain chain;
  if (!MakeChain(source, target, toSource, toTarget, &chain)) {
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
  try {
    if (NorthUp(source.gt) && NorthUp(target.gt) && !source.blackIsNodata && source.width > 0 &&
        source.height > 0) {
      std::vector<Piece> pieces;
      bool byPieces = false;
      if (toSource.identity()) {
        const double stepX = target.gt[1] / source.gt[1], stepY = target.gt[5] / source.gt[5];
        byPieces = stepX > 0 && stepX <= kLargestStep && stepY > 0 && stepY <= kLargestStep;
        Piece p{(target.gt[0] - source.gt[0]) / source.gt[1], stepX,
                (target.gt[3] - source.gt[3]) / source.gt[5], stepY, 0, 0};
        Covered(p.offY, p.stepY, source.height, target.height, &p.first, &p.last);
        if (byPieces && p.first <= p.last) pieces.push_back(p);
      } else {
        Chain chain;
        byPieces = MakeChain(source, target, toSource, toTarget, &chain) &&
                   RowBands(chain, target.width, target.height, source.height, &pieces);
      }
      if (byPieces) return DrawPieces(source, pieces, target, error);
    }
    return Warped(source, target, toSource, toTarget, error);
  } catch (const std::bad_alloc &) {
    *error = "out of memory";
    return false;
  }
}

}  // namespace web
}  // namespace rhl
