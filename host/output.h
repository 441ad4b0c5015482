// Writes a view, line by line from the module's buffer, as a georeferenced
// image: PNG with a world file beside it, or GeoTIFF with its geotransform.
#ifndef RHL_HOST_OUTPUT_H
#define RHL_HOST_OUTPUT_H

#include <array>
#include <string>

#include "session.h"

namespace rhl {

// Renders the session's open view (width x height lines) to `path`; the
// format follows the extension (.tif/.tiff: GeoTIFF, else PNG). `geo` places
// the output's pixel corners. False with the reason in *error.
bool WriteView(Session &session, int width, int height, const std::array<double, 6> &geo,
               const std::string &path, bool progress, std::string *error);

}  // namespace rhl

#endif
