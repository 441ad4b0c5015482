#include "maprequest.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "gdal.h"

#include "warp.h"

namespace rhl {
namespace web {
namespace {

constexpr GeoTransform kPixelFrame = {0, 1, 0, 0, 0, -1};
// Whole reductions beyond this are warped (nothing is lost: such a view is
// a handful of pixels).
constexpr double kFinestReduction = 1 << 30;
// How far off a grid line a request's edge may be and still be on it, in
// image pixels (clients compute edges in floating point).
constexpr double kOnGrid = 1e-3;

// A layer as a request's frame sees it.
struct Placement {
  GeoTransform gt;  // image pixels to the layer's coordinates
  Box bounds;       // the layer's extent in the frame
  CrsList::Transform toLayer, toFrame;
};

bool Place(const Catalogue &c, const Layer &l, Frame frame, Placement *p) {
  if (frame.pixelsOf >= 0) {
    if ((size_t)frame.pixelsOf != l.image) return false;
    p->gt = kPixelFrame;
    p->bounds = Box{0, -(double)l.height, (double)l.width, 0};
    p->toLayer = CrsList::Transform::Identity();
    p->toFrame = CrsList::Transform::Identity();
    return true;
  }
  if (!l.georeferenced() || frame.crs < 0 || frame.crs >= (int)l.bounds.size() ||
      !l.bounds[frame.crs])
    return false;
  p->gt = l.gt;
  p->bounds = *l.bounds[frame.crs];
  p->toLayer = c.crs().Borrow(frame.crs, l.crs);
  p->toFrame = c.crs().Borrow(l.crs, frame.crs);
  return p->toLayer.ok() && p->toFrame.ok();
}

std::string ViewLabel(const ViewRequest &r, const Layer &l) {
  char text[160];
  snprintf(text, sizeof text, "view --src %d,%d,%d,%d --scale %.17g of '", r.source.left,
           r.source.top, r.source.right, r.source.bottom, r.scale);
  return text + l.file + "'";
}

bool MakeView(const Catalogue &c, const Layer &l, const ViewRequest &request, ViewPixels *view,
              MapImage *m) {
  // The image is looked at before the view and after it: a view that may
  // have read a file of another geometry is not placed in this one.
  std::string changed = c.Changed(l.image);
  if (changed.empty()) {
    *view = c.views().View(l.image, request);
    m->viewMs += view->viewMs;
    changed = c.Changed(l.image);
  }
  if (!changed.empty()) {
    m->error = changed;
    return false;
  }
  if (view->status == ViewPixels::kMade) return true;
  m->error = ViewLabel(request, l) + ": " + view->error;
  m->timedOut = view->status == ViewPixels::kTimedOut;
  return false;
}

// The view's pixels into the map at (ox, oy), each replacing what lies there.
void Paste(const ViewPixels &v, int64_t ox, int64_t oy, bool blackIsNodata, MapImage *m) {
  int64_t w = std::min<int64_t>(v.width, m->width - ox), h = std::min<int64_t>(v.height, m->height - oy);
  for (int64_t y = 0; y < h; ++y) {
    const uint8_t *from = v.rgb.data() + (size_t)y * v.width * 3;
    uint8_t *to = m->rgba.data() + ((size_t)(oy + y) * m->width + ox) * 4;
    for (int64_t x = 0; x < w; ++x, from += 3, to += 4) {
      if (blackIsNodata && (from[0] | from[1] | from[2]) == 0) continue;
      memcpy(to, from, 3);
      to[3] = 255;
    }
  }
}

enum class Drawn { kOffGrid, kDone, kFailed };

// The map on the layer's own grid at a whole reduction n: the window it
// covers, clipped to the image, is one view at scale 1/n, placed at whole
// map pixels. kOffGrid when the request is not on that grid.
Drawn DrawOnGrid(const Catalogue &c, const Layer &l, const GeoTransform &g, const MapRequest &r,
                 MapImage *m) {
  if (g[2] != 0 || g[4] != 0 || !(g[1] > 0) || !(g[5] < 0)) return Drawn::kOffGrid;
  double px = (r.box.maxx - r.box.minx) / r.width, py = (r.box.maxy - r.box.miny) / r.height;
  double kx = px / g[1], ky = py / -g[5], k = round(kx);
  if (!(k >= 1 && k <= kFinestReduction) || fabs(kx - k) * r.width > kOnGrid ||
      fabs(ky - k) * r.height > kOnGrid)
    return Drawn::kOffGrid;
  double left = (r.box.minx - g[0]) / g[1], top = (r.box.maxy - g[3]) / g[5];
  if (!(fabs(left) < 1e15 && fabs(top) < 1e15) || fabs(left - round(left)) > kOnGrid ||
      fabs(top - round(top)) > kOnGrid)
    return Drawn::kOffGrid;
  const int64_t n = (int64_t)k, L = (int64_t)round(left), T = (int64_t)round(top);
  const int64_t R = L + r.width * n, B = T + r.height * n;
  const int64_t cl = std::max<int64_t>(L, 0), ct = std::max<int64_t>(T, 0);
  const int64_t cr = std::min<int64_t>(R, l.width), cb = std::min<int64_t>(B, l.height);
  if (cl >= cr || ct >= cb) return Drawn::kDone;  // nothing of the image in it
  if ((cl - L) % n != 0 || (ct - T) % n != 0) return Drawn::kOffGrid;
  ViewRequest request = ScaledView(
      RhlRect{(int32_t)cl, (int32_t)ct, (int32_t)cr, (int32_t)cb}, 1.0 / (double)n);
  ViewPixels view;
  if (!MakeView(c, l, request, &view, m)) return Drawn::kFailed;
  Paste(view, (cl - L) / n, (ct - T) / n, l.blackIsNodata, m);
  ++m->drawn;
  return Drawn::kDone;
}

// Any other request: the window covering the map's part of the image, one
// view of it at the map's resolution (at most 1:1), warped.
bool DrawWarped(const Catalogue &c, const Layer &l, Placement &p, const MapRequest &r,
                MapImage *m) {
  Box part = Intersection(r.box, p.bounds), world;
  if (part.Empty() || !p.toLayer.Bounds(part, &world)) return true;
  const GeoTransform &g = p.gt;
  GeoTransform inverse;
  if (!GDALInvGeoTransform(const_cast<double *>(g.data()), inverse.data())) return true;
  double cols[4], rows[4];
  const double xs[4] = {world.minx, world.maxx, world.minx, world.maxx};
  const double ys[4] = {world.miny, world.miny, world.maxy, world.maxy};
  for (int i = 0; i < 4; ++i) {
    cols[i] = inverse[0] + xs[i] * inverse[1] + ys[i] * inverse[2];
    rows[i] = inverse[3] + xs[i] * inverse[4] + ys[i] * inverse[5];
  }
  double c0 = *std::min_element(cols, cols + 4), c1 = *std::max_element(cols, cols + 4);
  double r0 = *std::min_element(rows, rows + 4), r1 = *std::max_element(rows, rows + 4);
  // Map pixels across the part, and the view's scale each way: as many view
  // pixels as map pixels, never more than the image has.
  double px = (r.box.maxx - r.box.minx) / r.width, py = (r.box.maxy - r.box.miny) / r.height;
  double across = (part.maxx - part.minx) / px, down = (part.maxy - part.miny) / py;
  double sx = c1 > c0 ? std::min(1.0, across / (c1 - c0)) : 1.0;
  double sy = r1 > r0 ? std::min(1.0, down / (r1 - r0)) : 1.0;
  sx = std::max(sx, 1e-9);
  sy = std::max(sy, 1e-9);
  // Two view pixels more on each side for the resampling kernel.
  double L = std::max(0.0, floor(c0 - 2 / sx)), R = std::min((double)l.width, ceil(c1 + 2 / sx));
  double T = std::max(0.0, floor(r0 - 2 / sy)), B = std::min((double)l.height, ceil(r1 + 2 / sy));
  if (!(L < R && T < B)) return true;
  RhlRect window{(int32_t)L, (int32_t)T, (int32_t)R, (int32_t)B};
  int32_t vw = (int32_t)std::max(1.0, round((R - L) * sx));
  int32_t vh = (int32_t)std::max(1.0, round((B - T) * sy));
  ViewPixels view;
  if (!MakeView(c, l, SizedView(window, vw, vh), &view, m)) return false;

  auto start = std::chrono::steady_clock::now();
  double fx = (R - L) / view.width, fy = (B - T) / view.height;
  WarpSource source{view.rgb.data(), view.width, view.height,
                    GeoTransform{g[0] + L * g[1] + T * g[2], g[1] * fx, g[2] * fy,
                                 g[3] + L * g[4] + T * g[5], g[4] * fx, g[5] * fy},
                    l.blackIsNodata, c.resampling()};
  WarpTarget target{m->rgba.data(), m->width, m->height,
                    GeoTransform{r.box.minx, px, 0, r.box.maxy, 0, -py}};
  std::string error;
  bool ok = Warp(source, target, p.toLayer, p.toFrame, &error);
  m->warpMs +=
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    m->error = "layer '" + l.id + "': " + error;
    return false;
  }
  ++m->drawn;
  return true;
}

// Each layer once, where it is named last: drawn again, a layer only covers
// what it drew before, so a request naming one a thousand times costs one
// view, not a thousand.
std::vector<size_t> Distinct(const std::vector<size_t> &layers) {
  std::vector<size_t> once;
  std::set<size_t> seen;
  for (auto i = layers.rbegin(); i != layers.rend(); ++i)
    if (seen.insert(*i).second) once.push_back(*i);
  std::reverse(once.begin(), once.end());
  return once;
}

}  // namespace

MapImage RenderMap(const Catalogue &c, const MapRequest &r) {
  MapImage m;
  if (r.width < 1 || r.height < 1 || r.box.Empty()) {
    m.error = "an empty map";
    return m;
  }
  m.width = r.width;
  m.height = r.height;
  m.rgba.assign((size_t)r.width * r.height * 4, 0);
  for (size_t i : Distinct(r.layers)) {
    if (i >= c.layers().size()) continue;
    const Layer &l = c[i];
    Placement p;
    if (!Place(c, l, r.frame, &p) || Intersection(r.box, p.bounds).Empty()) continue;
    bool own = r.frame.pixelsOf >= 0 || c.crs().Same(r.frame.crs, l.crs);
    Drawn drawn = own ? DrawOnGrid(c, l, p.gt, r, &m) : Drawn::kOffGrid;
    if (drawn == Drawn::kFailed) return m;
    if (drawn == Drawn::kOffGrid && !DrawWarped(c, l, p, r, &m)) return m;
  }
  m.made = true;
  return m;
}

PointAnswer QueryPoint(const Catalogue &c, Frame frame, double x, double y,
                       const std::vector<size_t> &layers) {
  PointAnswer a;
  const std::vector<size_t> once = Distinct(layers);
  for (auto i = once.rbegin(); i != once.rend(); ++i) {
    if (*i >= c.layers().size()) continue;
    const Layer &l = c[*i];
    Placement p;
    if (!Place(c, l, frame, &p)) continue;
    double lx = x, ly = y;
    int ok = 0;
    if (!p.toLayer.Points(1, &lx, &ly, &ok)) continue;
    GeoTransform inverse;
    if (!GDALInvGeoTransform(p.gt.data(), inverse.data())) continue;
    double col = floor(inverse[0] + lx * inverse[1] + ly * inverse[2]);
    double row = floor(inverse[3] + lx * inverse[4] + ly * inverse[5]);
    if (!(col >= 0 && col < l.width && row >= 0 && row < l.height)) continue;
    PointHit hit;
    hit.layer = l.image;
    hit.x = lx;
    hit.y = frame.pixelsOf >= 0 ? -ly : ly;
    hit.col = (int64_t)col;
    hit.row = (int64_t)row;
    RhlRect pixel{(int32_t)col, (int32_t)row, (int32_t)col + 1, (int32_t)row + 1};
    std::string changed = c.Changed(l.image);
    ViewPixels view;
    if (changed.empty()) view = c.views().View(l.image, SizedView(pixel, 1, 1));
    if (changed.empty()) changed = c.Changed(l.image);
    if (!changed.empty()) {
      a.error = changed;
      return a;
    }
    if (view.status != ViewPixels::kMade) {
      a.error = ViewLabel(SizedView(pixel, 1, 1), l) + ": " + view.error;
      a.timedOut = view.status == ViewPixels::kTimedOut;
      return a;
    }
    memcpy(hit.rgb, view.rgb.data(), 3);
    hit.nodata = l.blackIsNodata && (hit.rgb[0] | hit.rgb[1] | hit.rgb[2]) == 0;
    a.hits.push_back(hit);
  }
  a.made = true;
  return a;
}

}  // namespace web
}  // namespace rhl
