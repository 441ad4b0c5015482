// The coordinate reference systems rhl serve speaks: EPSG:4326, CRS:84,
// EPSG:3857 and each image's own. A client names a CRS only by an identifier
// from this list, looked up here; no text of a request ever reaches a CRS
// parser. Coordinates are always handled x first (east, or longitude), y
// second; the services put them in a CRS's own axis order where their
// protocol asks for it.
#ifndef RHL_HOST_WEB_CRS_H
#define RHL_HOST_WEB_CRS_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class OGRCoordinateTransformation;
class OGRSpatialReference;

namespace rhl {
namespace web {

// A box, x and y as above; empty when not min < max both ways.
struct Box {
  double minx = 0, miny = 0, maxx = 0, maxy = 0;
  bool Empty() const { return !(minx < maxx && miny < maxy); }
};
// The common part of two boxes (empty when they do not overlap).
Box Intersection(const Box &a, const Box &b);

struct CrsEntry {
  std::string id;         // as the services name it: "EPSG:4326", "CRS:84", "EPSG:32633";
                          // empty for a CRS with no identifier (not advertised)
  std::string urn;        // "urn:ogc:def:crs:EPSG::32633", for WMTS
  std::string name;       // "WGS 84 / UTM zone 33N"
  std::string wkt;        // WKT2
  bool northFirst = false;  // its own axis order has northing or latitude first
  bool geographic = false;
  double metresPerUnit = 1;  // of its x axis, for scale denominators (degrees at the equator)
};

constexpr int kEpsg4326 = 0, kCrs84 = 1, kEpsg3857 = 2;

class CrsList {
 public:
  // The three every server speaks.
  CrsList();
  ~CrsList();
  CrsList(const CrsList &) = delete;
  CrsList &operator=(const CrsList &) = delete;

  // An image's CRS, from GDAL's WKT of it (the image's own, not a client's):
  // the index of its entry, shared with an earlier one of the same
  // identifier; -1 when GDAL cannot read it. Called before serving only.
  int AddImageCrs(const std::string &wkt, const std::string &authority);

  // The entry a client names: `requested` compared, letter case ignored,
  // with the identifiers listed (urn too when `urnToo`); -1 when none.
  int Find(const std::string &requested, bool urnToo = false) const;
  const CrsEntry &operator[](int i) const { return entries_[i]; }
  int size() const { return (int)entries_.size(); }
  // Whether coordinates in `a` are those of `b`, so nothing needs transforming.
  bool Same(int a, int b) const;

  // A transformation from `from` to `to`, lent to one caller at a time and
  // back for the next when the Transform goes; null transform when they are
  // the same CRS.
  class Transform {
   public:
    Transform() = default;
    Transform(Transform &&other) noexcept;
    // Coordinates as they are.
    static Transform Identity() {
      Transform t;
      t.ok_ = true;
      return t;
    }
    Transform &operator=(Transform &&other) noexcept;
    ~Transform();
    // Whether it can be used (false: PROJ has no transformation between them).
    bool ok() const { return ok_; }
    // Whether it leaves coordinates as they are (one CRS to itself).
    bool identity() const { return ok_ && ct_ == nullptr; }
    // Transforms n points in place; success[i] says which did. True if all did.
    // A point with a coordinate past 1e10 (no place on Earth, in any unit)
    // never does: the time GDAL takes grows with the coordinate.
    bool Points(int n, double *x, double *y, int *success) const;
    // The bounds of `in` (edges densified; its part within 1e10 each way);
    // false when none of it transforms.
    bool Bounds(const Box &in, Box *out) const;

   private:
    friend class CrsList;
    const CrsList *list_ = nullptr;
    int key_ = -1;
    OGRCoordinateTransformation *ct_ = nullptr;  // null: the identity
    bool ok_ = false;
  };
  Transform Borrow(int from, int to) const;

 private:
  struct Impl;
  int AddEntry(std::unique_ptr<OGRSpatialReference> srs, const std::string &id,
               const std::string &urn);
  std::vector<CrsEntry> entries_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace web
}  // namespace rhl

#endif
