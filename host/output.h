// Writes a view, line by line from the module's buffer, as a georeferenced
// image in any format GDAL writes: line by line where the format's driver
// writes so (GeoTIFF a tile row at a time); as GDAL's copy of the picture
// for PNG, JPEG, WebP and GIF, whose drivers read it once, top to bottom;
// any other format that is written only as a copy (COG, JPEG 2000, ...)
// from a temporary GeoTIFF of the picture, which its driver may read in any
// order.
#ifndef RHL_HOST_OUTPUT_H
#define RHL_HOST_OUTPUT_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "formats.h"
#include "plan.h"
#include "session.h"
#include "source.h"

namespace rhl {

struct OutputOptions {
  std::string path;
  Format format;
  std::vector<std::string> creationOptions;  // NAME=VALUE, over rhl's own defaults
  int width = 0, height = 0;                 // the output's size
  Inset view;  // the module's lines; the rest (a window partly outside the image) is filled
  std::optional<std::array<double, 6>> geo;  // where the output's pixel corners lie; none: not placed
  std::string crsWkt;                        // empty: none
  std::vector<Gcp> gcps;                     // in output pixels, where there is no geo
  std::string gcpCrsWkt;
  std::optional<int> nodata;  // marks V, V, V; also the fill outside the image (else 0)
  std::string description;    // a GeoTIFF's image description
  bool progress = false;
};

// Renders the session's open view to output.path: written aside, then moved
// into place with its world file and .aux.xml, so that a failure leaves
// nothing at the path. False with the reason in *error.
bool WriteView(Session &session, const OutputOptions &output, std::string *error);

}  // namespace rhl

#endif
