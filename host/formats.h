// The output's format as gdal_translate chooses it: -of by driver name, or
// the driver whose extensions list the output name's; and the world file
// GDAL looks for beside an image whose format does not hold a geotransform.
#ifndef RHL_HOST_FORMATS_H
#define RHL_HOST_FORMATS_H

#include <string>

#include "gdal.h"

namespace rhl {

struct Format {
  GDALDriverH driver = nullptr;
  std::string name;  // GDAL's short name: GTiff, PNG, JPEG, ...
  bool create = false;  // writable line by line (Create), else only as a copy (CreateCopy)
  bool worldFile = false;  // GDAL reads the geotransform from a world file beside it
  std::string note;  // when several drivers claim the extension
};

// The format for `path`, or the driver named by `of` when it is not empty.
// Refused with Usage: an unknown driver, one that cannot write rasters, or an
// extension no driver claims (no extension at all gives GeoTIFF, as in
// gdal_translate).
Format ChooseFormat(const std::string &path, const std::string &of);

// The world file GDAL reads beside `imagePath`: the extension's first and
// last letters and "w" (.pgw, .jgw, .gfw), in the extension's case; ".wld"
// when the extension is too short for that.
std::string WorldFileName(const std::string &imagePath);

}  // namespace rhl

#endif
