#include "watch.h"

#include <stdio.h>
#include <sys/stat.h>

#include <utility>

#include "cpl_conv.h"
#include "gdal.h"
#include "ogr_srs_api.h"

namespace rhl {
namespace web {

namespace {

bool PlainPath(const std::string &name) {
  return !name.empty() && name.rfind("/vsi", 0) != 0 && name.find("://") == std::string::npos;
}

std::string Size(int64_t width, int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string Numbers(const std::array<double, 6> &gt) {
  std::string text;
  for (double v : gt) {
    char number[32];
    snprintf(number, sizeof number, "%s%.12g", text.empty() ? "" : ", ", v);
    text += number;
  }
  return "(" + text + ")";
}

// A link file's text (what the module reads of it), to see whether it
// names another image now.
std::string LinkText(const std::string &name) {
  std::string text;
  if (FILE *f = fopen(name.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while (text.size() < (64 << 10) && (n = fread(buffer, 1, sizeof buffer, f)) > 0)
      text.append(buffer, n);
    fclose(f);
  }
  return text;
}

}  // namespace

Geometry ReadGeometry(const std::string &name) {
  Geometry g;
  GDALDatasetH ds = GDALOpenEx(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr,
                               nullptr);
  if (ds == nullptr) {
    g.reason = CPLGetLastErrorMsg();
    if (g.reason.empty()) g.reason = "GDAL cannot open it";
    return g;
  }
  g.read = true;
  g.width = GDALGetRasterXSize(ds);
  g.height = GDALGetRasterYSize(ds);
  g.georeferenced = GDALGetGeoTransform(ds, g.gt.data()) == CE_None;
  if (OGRSpatialReferenceH srs = GDALGetSpatialRef(ds)) {
    char *wkt = nullptr;
    if (OSRExportToWkt(srs, &wkt) == OGRERR_NONE && wkt != nullptr) g.crs = wkt;
    CPLFree(wkt);
  }
  GDALClose(ds);
  return g;
}

std::string GeometryChange(const Geometry &was, const Geometry &now) {
  // One that no longer opens is no other geometry: its views fail with the
  // module's own reason.
  if (!now.read) return "";
  std::string change;
  auto add = [&](const std::string &what) { change += (change.empty() ? "" : "; ") + what; };
  if (was.width != now.width || was.height != now.height)
    add("its size was " + Size(was.width, was.height) + " and is " + Size(now.width, now.height));
  if (was.georeferenced != now.georeferenced)
    add(now.georeferenced ? "it was not georeferenced and is" : "it was georeferenced and is not");
  else if (was.georeferenced && was.gt != now.gt)
    add("its geotransform was " + Numbers(was.gt) + " and is " + Numbers(now.gt));
  if (was.crs != now.crs) add("its CRS is another");
  return change;
}

bool ImageWatch::Stamp::operator==(const Stamp &o) const {
  return present == o.present && device == o.device && inode == o.inode && size == o.size &&
         modifiedNs == o.modifiedNs && changedNs == o.changedNs;
}

ImageWatch::Stamp ImageWatch::StampOf(const std::string &name) {
  Stamp s;
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return s;
  s.present = true;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = st.st_size;
  s.modifiedNs = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  s.changedNs = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

ImageWatch::ImageWatch(std::string file, std::string resolved)
    : file_(std::move(file)), resolved_(std::move(resolved)) {
  watched_ = PlainPath(resolved_);
  if (!watched_) return;
  fileSeen_ = StampOf(file_);
  resolvedSeen_ = StampOf(resolved_);
  if (file_ != resolved_) linkText_ = LinkText(file_);
  served_ = ReadGeometry(resolved_);
  // What GDAL cannot read (a format only the module's library reads) is
  // not watched: there is no geometry to compare.
  watched_ = served_.read;
}

std::string ImageWatch::Check() {
  if (!watched_) return "";
  std::lock_guard<std::mutex> hold(lock_);
  Stamp file = StampOf(file_), resolved = StampOf(resolved_);
  if (file == fileSeen_ && resolved == resolvedSeen_) return change_;
  fileSeen_ = file;
  resolvedSeen_ = resolved;
  change_ = file_ != resolved_ && LinkText(file_) != linkText_
                ? std::string("its link file names another image")
                : GeometryChange(served_, ReadGeometry(resolved_));
  if (!change_.empty())
    change_ = "'" + file_ + "' changed since rhl serve opened it: " + change_ +
              "; its layer is refused until it is as it was (restart rhl serve to serve it anew)";
  return change_;
}

}  // namespace web
}  // namespace rhl
