#include "tilematrix.h"

#include <math.h>

#include <algorithm>

#include "ogc.h"
#include "pyramid.h"

namespace rhl {
namespace web {
namespace {

constexpr double kMercatorHalf = 20037508.342789244;
// A standard pixel's side: 0.28 mm.
constexpr double kStandardPixel = 0.00028;

}  // namespace

TileMatrix GoogleMapsLevel(int zoom) {
  TileMatrix m;
  m.id = std::to_string(zoom);
  m.columns = m.rows = (int64_t)1 << zoom;
  m.cell = 2 * kMercatorHalf / kTileSide / (double)m.columns;
  m.scaleDenominator = m.cell / kStandardPixel;
  m.left = -kMercatorHalf;
  m.top = kMercatorHalf;
  return m;
}

TileMatrixSet GoogleMapsSet(int deepest) {
  TileMatrixSet set;
  set.id = kGoogleMaps;
  set.crs = kEpsg3857;
  set.wellKnown = "urn:ogc:def:wkss:OGC:1.0:GoogleMapsCompatible";
  for (int z = 0; z <= deepest; ++z) set.levels.push_back(GoogleMapsLevel(z));
  return set;
}

bool NativeSet(const Catalogue &c, const Layer &l, TileMatrixSet *set) {
  const std::array<double, 6> &g = l.gt;
  if (!l.georeferenced() || c.crs()[l.crs].id.empty() || g[2] != 0 || g[4] != 0 ||
      !(g[1] > 0) || fabs(g[1] + g[5]) > 1e-9 * g[1])
    return false;
  set->id = "native-" + l.id;
  set->crs = l.crs;
  set->wellKnown.clear();
  set->levels.clear();
  const int top = TopLevel(l.width, l.height);
  for (int level = 0; level <= top; ++level) {
    TileMatrix m;
    m.id = std::to_string(level);
    const int64_t span = (int64_t)kTileSide << (top - level);  // image pixels a tile spans
    m.cell = g[1] * (double)((int64_t)1 << (top - level));
    m.scaleDenominator = m.cell * c.crs()[l.crs].metresPerUnit / kStandardPixel;
    m.left = g[0];
    m.top = g[3];
    m.columns = (l.width + span - 1) / span;
    m.rows = (l.height + span - 1) / span;
    set->levels.push_back(m);
  }
  return true;
}

Box TileBox(const TileMatrix &m, int64_t col, int64_t row) {
  const double side = kTileSide * m.cell;
  double minx = m.left + (double)col * side, maxy = m.top - (double)row * side;
  return Box{minx, maxy - side, minx + side, maxy};
}

bool TilesCovering(const TileMatrix &m, const Box &box, TileRange *range) {
  const double side = kTileSide * m.cell;
  // Tiles touched over more than a hair's breadth (floating point puts an edge
  // on a tile boundary a hair off).
  const double hair = 1e-9;
  double c0 = floor((box.minx - m.left) / side + hair), c1 = ceil((box.maxx - m.left) / side - hair) - 1;
  double r0 = floor((m.top - box.maxy) / side + hair), r1 = ceil((m.top - box.miny) / side - hair) - 1;
  // A box narrower than the hair lies in one tile.
  c1 = std::max(c1, c0);
  r1 = std::max(r1, r0);
  c0 = std::max(c0, 0.0);
  r0 = std::max(r0, 0.0);
  c1 = std::min(c1, (double)m.columns - 1);
  r1 = std::min(r1, (double)m.rows - 1);
  if (!(c0 <= c1 && r0 <= r1)) return false;
  *range = TileRange{(int64_t)c0, (int64_t)c1, (int64_t)r0, (int64_t)r1};
  return true;
}

MapRequest TileRequest(const TileMatrixSet &set, const TileMatrix &matrix, int64_t col,
                       int64_t row, const std::vector<size_t> &layers) {
  MapRequest r;
  r.frame = Frame::Crs(set.crs);
  r.box = TileBox(matrix, col, row);
  r.width = r.height = kTileSide;
  r.layers = layers;
  return r;
}

}  // namespace web
}  // namespace rhl
