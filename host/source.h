// What GDAL itself reads from the image the module resolved: the CRS, bands,
// nodata and whether the image is georeferenced at all. The module's record
// carries only the size and three control points; these come from GDAL when
// it can open the resolved name.
#ifndef RHL_HOST_SOURCE_H
#define RHL_HOST_SOURCE_H

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace rhl {

struct BandFacts {
  std::string type;   // GDAL's name: Byte, UInt16, Float32, ...
  std::string color;  // lower case: red, green, blue, alpha, gray, palette, undefined, ...
  bool hasNodata = false;
  double nodata = 0;
  std::string description;  // "NIR", or empty
  int blockWidth = 0, blockHeight = 0;
  std::vector<std::array<int, 2>> overviews;  // width and height of each, largest first
};

// A ground control point: pixel and line in the image, x, y, z in its CRS.
struct Gcp {
  std::string id;
  double pixel = 0, line = 0, x = 0, y = 0, z = 0;
};

struct Crs {
  std::string wkt;        // empty: none
  std::string name;       // "WGS 84 / UTM zone 33N"
  std::string authority;  // "EPSG:32633", or empty
};

struct SourceFacts {
  bool read = false;   // GDAL opened the resolved name
  std::string reason;  // why not, when it did not
  std::string driver;  // GDAL's short name
  std::vector<BandFacts> bands;
  bool georeferenced = false;  // a geotransform of its own
  std::array<double, 6> geotransform{};
  int gcpCount = 0;
  std::vector<Gcp> gcps;
  Crs gcpCrs;
  Crs crs;
  std::string compression;  // GDAL's name (DEFLATE, JPEG, ...), or empty for none
};

// Whether the image is 8-bit grey or RGB: one Byte band without a palette,
// or three Byte bands; what the module delivers of it is then its values.
bool IsPlainPicture(const SourceFacts &facts);

// Whether any band has nodata or is alpha: the module's black then stands
// for pixels that are not there.
bool HasNodataOrAlpha(const SourceFacts &facts);

// Reads what GDAL knows of `name` (http(s) names through GDAL's ranged
// access, as the library reads them). Nothing is printed.
SourceFacts ReadSourceFacts(const std::string &name);

// Where the image's pixels lie in the world, or none when it is not
// georeferenced. When GDAL read the image, its word and its exact
// geotransform (the module's control points carry the corners, from which
// the pixel size comes back only to within rounding); else the module's,
// unless that is mere pixel corners, (0, 1, 0, 0, 0, 1), which is what an
// image without georeferencing gets.
std::optional<std::array<double, 6>> WorldPlacement(const SourceFacts &facts,
                                                    const std::array<double, 6> &moduleGt);

// The CRS a user names as GDAL's -a_srs takes it (EPSG:n, WKT, PROJ text, a
// file); refused with a message otherwise.
Crs CrsFromUser(const std::string &text);

}  // namespace rhl

#endif
