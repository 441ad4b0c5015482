#include "catalogue.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "image.h"
#include "pyramid.h"

namespace rhl {
namespace web {

const char kMosaicId[] = "mosaic";

namespace {

// Half the side of Web Mercator's square, and its level 0 pixel, in metres.
constexpr double kMercatorHalf = 20037508.342789244;
constexpr double kMercatorPixel0 = 2 * kMercatorHalf / 256;
constexpr int kFinestZoom = 24;

void Warn(const std::string &text) { fprintf(stderr, "rhl serve: %s\n", text.c_str()); }

// The image's extent in its own CRS.
Box Extent(const Layer &l) {
  const std::array<double, 6> &g = l.gt;
  double x0 = g[0], x1 = g[0] + l.width * g[1] + l.height * g[2];
  double y0 = g[3], y1 = g[3] + l.width * g[4] + l.height * g[5];
  return Box{std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1)};
}

// What lies beyond a CRS's own domain is cut off: longitude and latitude,
// and Web Mercator's square.
Box Clamped(int crs, const CrsList &list, Box b) {
  if (crs == kEpsg3857) {
    b = Intersection(b, Box{-kMercatorHalf, -kMercatorHalf, kMercatorHalf, kMercatorHalf});
  } else if (list[crs].geographic) {
    b = Intersection(b, Box{-180, -90, 180, 90});
  }
  return b;
}

// The Web Mercator level at which a tile's pixel is no larger than an image
// pixel at the image's centre.
int ZoomOf(const Layer &l, const CrsList &list) {
  CrsList::Transform t = list.Borrow(l.crs, kEpsg3857);
  const std::array<double, 6> &g = l.gt;
  double col = l.width / 2.0, row = l.height / 2.0;
  double x[3], y[3];
  int ok[3];
  for (int i = 0; i < 3; ++i) {
    double c = col + (i == 1), r = row + (i == 2);
    x[i] = g[0] + c * g[1] + r * g[2];
    y[i] = g[3] + c * g[4] + r * g[5];
  }
  if (!t.Points(3, x, y, ok)) return 0;
  double across = hypot(x[1] - x[0], y[1] - y[0]), down = hypot(x[2] - x[0], y[2] - y[0]);
  double pixel = std::min(across, down);
  if (!(pixel > 0)) return 0;
  double zoom = ceil(log2(kMercatorPixel0 / pixel) - 1e-9);
  return (int)std::max(0.0, std::min((double)kFinestZoom, zoom));
}

}  // namespace

void Catalogue::Place(Layer &l) {
  const Raster &r = l.session->raster();
  l.resolved.assign(r.name, strnlen(r.name, sizeof r.name));
  l.width = r.width;
  l.height = r.height;
  l.facts = ReadSourceFacts(l.resolved);
  l.blackIsNodata = HasNodataOrAlpha(l.facts);
  std::array<double, 6> moduleGt = GeoTransformOf(*r.registration);
  std::optional<std::array<double, 6>> placed = WorldPlacement(l.facts, moduleGt);
  l.gt = placed ? *placed : moduleGt;
  if (!placed) {
    l.note = "it is not georeferenced";
  } else if (l.facts.crs.wkt.empty()) {
    l.note = "GDAL reads no CRS for it";
  } else {
    l.crs = crs_.AddImageCrs(l.facts.crs.wkt, l.facts.crs.authority);
    if (l.crs < 0) l.note = "GDAL cannot use its CRS";
  }
}

bool Catalogue::Open(const std::string &modulePath, const std::vector<std::string> &files) {
  std::vector<std::string> ids = ImageIds(files, {kMosaicId});
  for (size_t i = 0; i < files.size(); ++i) {
    Layer l;
    l.session = std::make_unique<Session>();
    if (!LoadModule(*l.session, modulePath)) return false;
    if (!OpenImage(*l.session, ModuleName(*l.session, modulePath), files[i], OpenOptions())) {
      Warn("'" + files[i] + "' is left out of the map");
      continue;
    }
    const Raster &r = l.session->raster();
    if (r.width < 1 || r.height < 1 || r.registration == nullptr) {
      Warn("'" + files[i] + "' is left out of the map: the module opened it with no pixels or "
           "no registration");
      continue;
    }
    l.image = layers_.size();
    l.id = ids[i];
    l.file = files[i];
    l.title = files[i].substr(files[i].find_last_of('/') + 1);
    Place(l);
    l.watch = std::make_unique<ImageWatch>(l.file, l.resolved);
    if (!l.georeferenced())
      Warn("'" + files[i] + "' is served in its own pixel frame only: " + l.note);
    layers_.push_back(std::move(l));
  }
  if (layers_.empty()) {
    Warn("no image could be opened");
    return false;
  }
  // Every layer's extent in every CRS, now that the list is complete.
  for (Layer &l : layers_) {
    l.bounds.assign(crs_.size(), std::nullopt);
    if (!l.georeferenced()) continue;
    mosaic_.push_back(l.image);
    Box extent = Extent(l), b;
    for (int c = 0; c < crs_.size(); ++c) {
      if (!crs_.Borrow(l.crs, c).Bounds(extent, &b)) continue;
      b = Clamped(c, crs_, b);
      if (!b.Empty()) l.bounds[c] = b;
    }
    l.zoom = ZoomOf(l, crs_);
  }
  std::vector<Session *> sessions;
  for (Layer &l : layers_) sessions.push_back(l.session.get());
  local_ = std::make_unique<LocalViews>(sessions);
  views_ = local_.get();
  return true;
}

std::string Catalogue::Changed(size_t i) const {
  return i < layers_.size() && layers_[i].watch ? layers_[i].watch->Check() : "";
}

int Catalogue::Find(const std::string &id) const {
  for (size_t i = 0; i < layers_.size(); ++i)
    if (layers_[i].id == id) return (int)i;
  return -1;
}

std::vector<size_t> Catalogue::Resolve(const std::string &name, bool placedOnly) const {
  if (name == kMosaicId) return mosaic_;
  int i = Find(name);
  if (i < 0 || (placedOnly && !layers_[i].georeferenced())) return {};
  return {(size_t)i};
}

std::optional<Box> Catalogue::MosaicBounds(int crs) const {
  std::optional<Box> all;
  for (size_t i : mosaic_) {
    const std::optional<Box> &b = layers_[i].bounds[crs];
    if (!b) continue;
    if (!all) {
      all = b;
      continue;
    }
    all->minx = std::min(all->minx, b->minx);
    all->miny = std::min(all->miny, b->miny);
    all->maxx = std::max(all->maxx, b->maxx);
    all->maxy = std::max(all->maxy, b->maxy);
  }
  return all;
}

int Catalogue::MaxZoom() const {
  int zoom = 0;
  for (size_t i : mosaic_) zoom = std::max(zoom, layers_[i].zoom);
  return zoom;
}

}  // namespace web
}  // namespace rhl
