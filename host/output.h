// Writes a view, line by line from the module's buffer, as a georeferenced
// image in any format GDAL writes: GeoTIFF a tile row at a time, any other
// format through GDAL's copy of a dataset whose lines come from the module.
#ifndef RHL_HOST_OUTPUT_H
#define RHL_HOST_OUTPUT_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "formats.h"
#include "session.h"

namespace rhl {

struct OutputOptions {
  std::string path;
  Format format;
  std::vector<std::string> creationOptions;  // NAME=VALUE, over rhl's own defaults
  std::optional<std::array<double, 6>> geo;  // where the output's pixel corners lie; none: not placed
  std::string crsWkt;                        // empty: none
  std::optional<int> nodata;                 // marks V, V, V
  bool progress = false;
};

// Renders the session's open view (width x height lines) to output.path:
// written aside, then moved into place with its world file and .aux.xml, so
// that a failure leaves nothing at the path. False with the reason in *error.
bool WriteView(Session &session, int width, int height, const OutputOptions &output,
               std::string *error);

}  // namespace rhl

#endif
