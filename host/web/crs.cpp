#include "crs.h"

#include <math.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <set>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "ogr_spatialref.h"

namespace rhl {
namespace web {
namespace {

// Metres of a degree at the equator, as the OGC's tile matrix sets count them.
constexpr double kMetresPerDegree = 6378137.0 * 2 * M_PI / 360;
constexpr int kDensify = 21;
// No place on Earth lies past this in any unit a map uses (metres: 250 times
// round it). GDAL takes time that grows with a coordinate's size to wrap it
// (days for 1e300), so none past it is ever handed to a transformation.
constexpr double kFarthest = 1e10;

bool Near(double x, double y) { return fabs(x) <= kFarthest && fabs(y) <= kFarthest; }

// An identifier GDAL gives the CRS itself or finds for it: "EPSG:32633", or "".
std::string IdentifierOf(const OGRSpatialReference &srs) {
  const char *name = srs.GetAuthorityName(nullptr), *code = srs.GetAuthorityCode(nullptr);
  if (name != nullptr && code != nullptr) return std::string(name) + ":" + code;
  int count = 0;
  int *confidence = nullptr;
  OGRSpatialReferenceH *matches = srs.FindMatches(nullptr, &count, &confidence);
  std::string id;
  if (count > 0 && confidence[0] >= 90) {
    const OGRSpatialReference *best = OGRSpatialReference::FromHandle(matches[0]);
    name = best->GetAuthorityName(nullptr);
    code = best->GetAuthorityCode(nullptr);
    if (name != nullptr && code != nullptr) id = std::string(name) + ":" + code;
  }
  OSRFreeSRSArray(matches);
  CPLFree(confidence);
  return id;
}

bool Finite(const Box &b) {
  return std::isfinite(b.minx) && std::isfinite(b.miny) && std::isfinite(b.maxx) &&
         std::isfinite(b.maxy);
}

}  // namespace

Box Intersection(const Box &a, const Box &b) {
  return Box{std::max(a.minx, b.minx), std::max(a.miny, b.miny), std::min(a.maxx, b.maxx),
             std::min(a.maxy, b.maxy)};
}

struct CrsList::Impl {
  std::vector<std::unique_ptr<OGRSpatialReference>> srs;  // x east, y north
  mutable std::mutex lock;  // over the pool, and every use of `srs` while serving
  mutable std::map<int, std::vector<OGRCoordinateTransformation *>> idle;
  mutable std::set<int> impossible;
  mutable std::map<int, bool> same;  // pairs compared so far
  ~Impl() {
    for (auto &kept : idle)
      for (OGRCoordinateTransformation *ct : kept.second) delete ct;
  }
};

CrsList::CrsList() : impl_(new Impl) {
  struct Common {
    const char *id, *urn, *definition;
  } common[] = {{"EPSG:4326", "urn:ogc:def:crs:EPSG::4326", "EPSG:4326"},
                {"CRS:84", "urn:ogc:def:crs:OGC:1.3:CRS84", "OGC:CRS84"},
                {"EPSG:3857", "urn:ogc:def:crs:EPSG::3857", "EPSG:3857"}};
  for (const Common &c : common) {
    auto srs = std::make_unique<OGRSpatialReference>();
    srs->SetFromUserInput(c.definition);  // this list's own constants
    AddEntry(std::move(srs), c.id, c.urn);
  }
}

CrsList::~CrsList() = default;

int CrsList::AddEntry(std::unique_ptr<OGRSpatialReference> srs, const std::string &id,
                      const std::string &urn) {
  CrsEntry e;
  e.id = id;
  e.urn = urn;
  const char *name = srs->GetName();
  e.name = name != nullptr ? name : "";
  char *wkt = nullptr;
  const char *options[] = {"FORMAT=WKT2_2019", "MULTILINE=NO", nullptr};
  if (srs->exportToWkt(&wkt, options) == OGRERR_NONE && wkt != nullptr) e.wkt = wkt;
  CPLFree(wkt);
  OGRAxisOrientation first = OAO_Other;
  srs->GetAxis(nullptr, 0, &first);
  e.northFirst = first == OAO_North || first == OAO_South;
  e.geographic = srs->IsGeographic() != 0;
  e.metresPerUnit = e.geographic ? kMetresPerDegree : srs->GetLinearUnits(nullptr);
  srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  entries_.push_back(e);
  impl_->srs.push_back(std::move(srs));
  return (int)entries_.size() - 1;
}

int CrsList::AddImageCrs(const std::string &wkt, const std::string &authority) {
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  auto srs = std::make_unique<OGRSpatialReference>();
  if (wkt.empty() || srs->importFromWkt(wkt.c_str()) != OGRERR_NONE) return -1;
  std::string id = !authority.empty() ? authority : IdentifierOf(*srs);
  if (!id.empty()) {
    int known = Find(id);
    if (known >= 0) return known;
  }
  std::string urn;
  size_t colon = id.find(':');
  if (colon != std::string::npos)
    urn = "urn:ogc:def:crs:" + id.substr(0, colon) + "::" + id.substr(colon + 1);
  return AddEntry(std::move(srs), id, urn);
}

int CrsList::Find(const std::string &requested, bool urnToo) const {
  if (requested.empty()) return -1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const CrsEntry &e = entries_[i];
    if (!e.id.empty() && strcasecmp(e.id.c_str(), requested.c_str()) == 0) return (int)i;
    if (urnToo && !e.urn.empty() && strcasecmp(e.urn.c_str(), requested.c_str()) == 0)
      return (int)i;
  }
  return -1;
}

bool CrsList::Same(int a, int b) const {
  if (a == b) return true;
  if (a < 0 || b < 0 || a >= size() || b >= size()) return false;
  std::lock_guard<std::mutex> hold(impl_->lock);
  auto known = impl_->same.find(a << 16 | b);
  if (known != impl_->same.end()) return known->second;
  // Coordinates are x first in every CRS here, so a geographic CRS's own
  // axis order makes no difference.
  const char *options[] = {"CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS",
                           "IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
  bool same = impl_->srs[a]->IsSame(impl_->srs[b].get(), options) != 0;
  impl_->same[a << 16 | b] = impl_->same[b << 16 | a] = same;
  return same;
}

CrsList::Transform CrsList::Borrow(int from, int to) const {
  Transform t;
  if (from < 0 || to < 0 || from >= size() || to >= size()) return t;
  if (Same(from, to)) {
    t.ok_ = true;
    return t;
  }
  int key = from << 16 | to;
  std::lock_guard<std::mutex> hold(impl_->lock);
  if (impl_->impossible.count(key) != 0) return t;
  std::vector<OGRCoordinateTransformation *> &idle = impl_->idle[key];
  if (!idle.empty()) {
    t.ct_ = idle.back();
    idle.pop_back();
  } else {
    CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
    t.ct_ = OGRCreateCoordinateTransformation(impl_->srs[from].get(), impl_->srs[to].get());
    if (t.ct_ == nullptr) {
      impl_->impossible.insert(key);
      return t;
    }
  }
  t.list_ = this;
  t.key_ = key;
  t.ok_ = true;
  return t;
}

CrsList::Transform::Transform(Transform &&other) noexcept
    : list_(other.list_), key_(other.key_), ct_(other.ct_), ok_(other.ok_) {
  other.list_ = nullptr;
  other.ct_ = nullptr;
}

CrsList::Transform &CrsList::Transform::operator=(Transform &&other) noexcept {
  if (this != &other) {
    Transform old(std::move(*this));  // goes back to the pool
    list_ = other.list_;
    key_ = other.key_;
    ct_ = other.ct_;
    ok_ = other.ok_;
    other.list_ = nullptr;
    other.ct_ = nullptr;
  }
  return *this;
}

CrsList::Transform::~Transform() {
  if (ct_ == nullptr || list_ == nullptr) return;
  std::lock_guard<std::mutex> hold(list_->impl_->lock);
  list_->impl_->idle[key_].push_back(ct_);
}

bool CrsList::Transform::Points(int n, double *x, double *y, int *success) const {
  if (!ok_) {
    std::fill(success, success + n, 0);
    return false;
  }
  if (ct_ == nullptr) {
    std::fill(success, success + n, 1);
    return true;
  }
  std::vector<int> far;
  for (int i = 0; i < n; ++i) {
    if (Near(x[i], y[i])) continue;
    far.push_back(i);
    x[i] = y[i] = 0;  // transformed in its place, then failed
  }
  CPLErrorHandlerPusher quiet(CPLQuietErrorHandler);
  bool all = ct_->Transform(n, x, y, nullptr, nullptr, success) != 0 && far.empty();
  for (int i : far) {
    x[i] = y[i] = HUGE_VAL;
    success[i] = 0;
  }
  for (int i = 0; i < n; ++i)
    if (success[i] && !(std::isfinite(x[i]) && std::isfinite(y[i]))) success[i] = 0, all = false;
  return all;
}

bool CrsList::Transform::Bounds(const Box &whole, Box *out) const {
  if (!ok_ || whole.Empty()) return false;
  if (ct_ == nullptr) {
    *out = whole;
    return true;
  }
  const Box in = Intersection(whole, Box{-kFarthest, -kFarthest, kFarthest, kFarthest});
  if (in.Empty()) return false;
  // The box's edges, kDensify points each, the corners shared: the image of
  // the box is bounded by the image of its edges wherever the box holds no
  // pole of a geographic target (looked for below).
  constexpr int kEdge = kDensify - 1, kRing = 4 * kEdge;
  double x[kRing], y[kRing];
  int ok[kRing];
  for (int i = 0; i < kEdge; ++i) {
    const double f = (double)i / kEdge;
    const double across = in.minx + (in.maxx - in.minx) * f, up = in.miny + (in.maxy - in.miny) * f;
    x[i] = across, y[i] = in.miny;                           // bottom, left to right
    x[kEdge + i] = in.maxx, y[kEdge + i] = up;               // right, upwards
    x[2 * kEdge + i] = in.maxx + in.minx - across, y[2 * kEdge + i] = in.maxy;  // top
    x[3 * kEdge + i] = in.minx, y[3 * kEdge + i] = in.maxy + in.miny - up;     // left
  }
  if (Points(kRing, x, y, ok)) {
    Box b{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int k = 0; k < kRing; ++k) {
      b.minx = std::min(b.minx, x[k]);
      b.maxx = std::max(b.maxx, x[k]);
      b.miny = std::min(b.miny, y[k]);
      b.maxy = std::max(b.maxy, y[k]);
    }
    const int from = key_ >> 16, to = key_ & 0xffff;
    if (list_->entries_[to].geographic) {
      // A pole inside the box: every longitude, and the pole's latitude.
      CrsList::Transform back = list_->Borrow(to, from);
      double px[2] = {0, 0}, py[2] = {90, -90};
      int pok[2] = {0, 0};
      back.Points(2, px, py, pok);
      for (int k = 0; k < 2; ++k) {
        if (!pok[k] || px[k] < in.minx || px[k] > in.maxx || py[k] < in.miny || py[k] > in.maxy)
          continue;
        b.minx = -180, b.maxx = 180;
        if (k == 0) b.maxy = 90;
        else b.miny = -90;
      }
    }
    if (Finite(b) && !b.Empty()) {
      *out = b;
      return true;
    }
  }
  // Part of the box lies outside what the transformation takes (beyond Web
  // Mercator's latitudes, say): the bounds of the points that do transform,
  // on a grid over the box.
  constexpr int kSide = 41;
  std::vector<double> gx(kSide * kSide), gy(kSide * kSide);
  std::vector<int> gok(kSide * kSide);
  for (int j = 0; j < kSide; ++j)
    for (int i = 0; i < kSide; ++i) {
      gx[j * kSide + i] = in.minx + (in.maxx - in.minx) * i / (kSide - 1);
      gy[j * kSide + i] = in.miny + (in.maxy - in.miny) * j / (kSide - 1);
    }
  Points(kSide * kSide, gx.data(), gy.data(), gok.data());
  Box b{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (int k = 0; k < kSide * kSide; ++k) {
    if (!gok[k]) continue;
    b.minx = std::min(b.minx, gx[k]);
    b.maxx = std::max(b.maxx, gx[k]);
    b.miny = std::min(b.miny, gy[k]);
    b.maxy = std::max(b.maxy, gy[k]);
  }
  if (b.Empty()) return false;
  *out = b;
  return true;
}

}  // namespace web
}  // namespace rhl
