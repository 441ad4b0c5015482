// XYZ tiles for Leaflet, OpenLayers and QGIS's "XYZ Tiles": Web Mercator
// tiles at /xyz/{layer}/{z}/{x}/{y}.png (also .jpg and .webp), 256 x 256,
// row 0 at the top; the TileJSON that describes a layer's tiles at
// /xyz/{layer}.json. {layer} is an image's id or the mosaic.
#ifndef RHL_HOST_WEB_XYZ_H
#define RHL_HOST_WEB_XYZ_H

#include <nlohmann/json.hpp>
#include <string>

#include "http.h"
#include "ogc.h"

namespace rhl {
namespace web {

// `rest` is the path after "/xyz/".
void AnswerXyz(const Site &site, const std::string &rest, const HttpRequest &request,
               HttpResponse &response);

// The TileJSON of the layer called `name` (an image or the mosaic), its
// tiles under `base`; null when there is no such georeferenced layer.
nlohmann::json TileJson(const Site &site, const std::string &name, const std::string &base);

}  // namespace web
}  // namespace rhl

#endif
