// Tile matrix sets: Web Mercator's GoogleMapsCompatible (WMTS, and XYZ's
// numbering), and per image one in its own CRS whose levels are the pixel
// pyramid's (the finest 1:1, each coarser one half the scale), so that its
// tiles are single views.
#ifndef RHL_HOST_WEB_TILEMATRIX_H
#define RHL_HOST_WEB_TILEMATRIX_H

#include <stdint.h>

#include <string>
#include <vector>

#include "maprequest.h"

namespace rhl {
namespace web {

constexpr char kGoogleMaps[] = "GoogleMapsCompatible";
// The deepest Web Mercator level a tile is made at.
constexpr int kDeepestZoom = 30;

struct TileMatrix {
  std::string id;     // "0", "1", ...
  double cell = 0;    // a pixel's side in the CRS's units
  double scaleDenominator = 0;
  double left = 0, top = 0;  // the top-left corner, x first
  int64_t columns = 0, rows = 0;
};

struct TileMatrixSet {
  std::string id;
  int crs = -1;
  std::string wellKnown;  // the well-known scale set's URN, or ""
  std::vector<TileMatrix> levels;
};

// Levels 0 to `deepest` of Web Mercator's set; one of them.
TileMatrixSet GoogleMapsSet(int deepest);
TileMatrix GoogleMapsLevel(int zoom);

// The set in the layer's own CRS ("native-<id>"); false where it has none
// (no CRS identifier, or pixels that are not square and north-up).
bool NativeSet(const Catalogue &catalogue, const Layer &layer, TileMatrixSet *set);

// The box tile (col, row) covers.
Box TileBox(const TileMatrix &matrix, int64_t col, int64_t row);

// The tiles of `matrix` that `box` touches (false: none).
struct TileRange {
  int64_t minCol = 0, maxCol = -1, minRow = 0, maxRow = -1;
};
bool TilesCovering(const TileMatrix &matrix, const Box &box, TileRange *range);

// The map request of a tile of a set, drawing `layers`.
MapRequest TileRequest(const TileMatrixSet &set, const TileMatrix &matrix, int64_t col,
                       int64_t row, const std::vector<size_t> &layers);

}  // namespace web
}  // namespace rhl

#endif
