// A view's pixels into a map's grid by GDAL: the view as an in-memory
// dataset, georeferenced by its window; the map an RGBA canvas the view is
// drawn over, transparent where the view has no pixel.
#ifndef RHL_HOST_WEB_WARP_H
#define RHL_HOST_WEB_WARP_H

#include <stdint.h>

#include <array>
#include <string>

#include "crs.h"

namespace rhl {
namespace web {

using GeoTransform = std::array<double, 6>;

struct WarpSource {
  const uint8_t *rgb = nullptr;  // width x height pixels, 3 bytes each
  int width = 0, height = 0;
  GeoTransform gt{};             // its pixel corners in its own CRS (or frame)
  bool blackIsNodata = false;    // black pixels are not there
  int resampling = 1;            // GDAL's resampling method (GDALResampleAlg), bilinear
};

// The resampling methods a user may name, as gdalwarp's -r names them
// ("near", "bilinear", "cubic", "cubicspline", "lanczos", "average",
// "mode"), and the name of each.
extern const char *const kResamplingNames[7];
// GDAL's method of that name, or -1.
int ResamplingByName(const std::string &name);

struct WarpTarget {
  uint8_t *rgba = nullptr;  // width x height pixels, 4 bytes each; drawn over
  int width = 0, height = 0;
  GeoTransform gt{};        // its pixel corners in the request's CRS (or frame)
};

// Draws `source` over `target`. `toSource` takes the target's coordinates
// to the source's, `toTarget` back. A target pixel is drawn where its
// centre lies on the source. Where the target is the source scaled and
// shifted (one CRS, both grids north-up, no pixel that is not there), GDAL's
// resampled read makes it; where the transformation keeps rows and columns
// (longitude and latitude into Web Mercator), GDAL's resampled read makes
// it in bands of rows, each placed within the warper's allowance (an eighth
// of a pixel); otherwise GDAL's warper. False with the reason in *error.
bool Warp(const WarpSource &source, const WarpTarget &target, const CrsList::Transform &toSource,
          const CrsList::Transform &toTarget, std::string *error);

}  // namespace web
}  // namespace rhl

#endif
