// Images that change under rhl serve: a layer is served in the geometry it
// was opened with (its size, placement and CRS, in the catalogue, the
// capabilities and every client's cache of them), so a file replaced by one
// of another geometry must not have its pixels placed in the old one. Each
// layer's files (the name given and the image the module opened) are
// looked at around every view; when one changed, the image's geometry is
// read again, and a layer whose geometry is no longer the one served is
// refused, naming the change, until it is as it was again.
#ifndef RHL_HOST_WEB_WATCH_H
#define RHL_HOST_WEB_WATCH_H

#include <stdint.h>

#include <array>
#include <mutex>
#include <string>

namespace rhl {
namespace web {

// Where the image lies and how large it is, as GDAL reads it.
struct Geometry {
  bool read = false;
  std::string reason;  // why not, when it was not read
  int64_t width = 0, height = 0;
  bool georeferenced = false;
  std::array<double, 6> gt{};
  std::string crs;  // WKT, or empty
};

Geometry ReadGeometry(const std::string &name);

// What differs between `was` and `now`, in words ("" when nothing does, or
// `now` could not be read).
std::string GeometryChange(const Geometry &was, const Geometry &now);

class ImageWatch {
 public:
  // `file` as given, `resolved` the image opened; plain paths are watched,
  // other names (http(s), GDAL's /vsi paths) are taken as they stand.
  ImageWatch(std::string file, std::string resolved);

  // "" while the image is served in its own geometry; else why not.
  std::string Check();

 private:
  struct Stamp {
    bool present = false;
    uint64_t device = 0, inode = 0;
    int64_t size = 0, modifiedNs = 0, changedNs = 0;
    bool operator==(const Stamp &o) const;
  };
  static Stamp StampOf(const std::string &name);

  std::string file_, resolved_;
  bool watched_ = false;
  Geometry served_;
  std::string linkText_;  // when `file` is a link file
  std::mutex lock_;
  Stamp fileSeen_, resolvedSeen_;
  std::string change_;  // for the stamps seen
};

}  // namespace web
}  // namespace rhl

#endif
