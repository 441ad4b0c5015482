// The page's JSON: the catalogue of layers (/api/layers), the catalogue of
// images as the pixel-frame page reads it (/api/images), and the point
// query (/api/point).
#ifndef RHL_HOST_WEB_API_H
#define RHL_HOST_WEB_API_H

#include <nlohmann/json.hpp>
#include <string>

#include "http.h"
#include "ogc.h"

namespace rhl {
namespace web {

// /api/layers: every layer and the mosaic, for a map page. Its shape (paths
// are relative to the server):
//   {"module": {"name": "ECW.RHL", "description": "..."},
//    "tile_size": 256, "max_map_side": 4096,
//    "services": {"wms": "/wms", "wmts": "/wmts/1.0.0/WMTSCapabilities.xml",
//                 "point": "/api/point"},
//    "layers": [{
//       "id": "scene",                      in every path and service request
//       "file": "data/scene.tif",           as given on the command line
//       "title": "scene.tif",
//       "driver": "GTiff",                  GDAL's reading of the image ("" if none)
//       "width": 1003, "height": 701,
//       "georeferenced": true,              false: in its own pixel frame only, and
//       "note": "it is not georeferenced",  (only then) why
//       "crs": {"id": "EPSG:32633", "name": "WGS 84 / UTM zone 33N", "wkt": "..."},
//                                           null when not georeferenced; "id" is ""
//                                           for a CRS without identifier
//       "geotransform": [x0, dx, 0, y0, 0, dy],  pixel corners to the CRS (to the
//                                           module's registration when not georeferenced)
//       "bounds": [west, south, east, north],    EPSG:4326 degrees, or null
//       "bands": [{"type": "Byte", "color": "red", "description": "", "nodata": null}],
//       "nodata": false,                    whether black stands for no data (it is
//                                           transparent in maps)
//       "zoom": {"min": 0, "max": 17},      Web Mercator levels; max: the first whose
//                                           pixels are no larger than the image's (null
//                                           when not georeferenced)
//       "xyz": "/xyz/scene/{z}/{x}/{y}.png",  null when not georeferenced
//       "tilejson": "/xyz/scene.json",      null when not georeferenced
//       "tiles": "/tiles/scene/{z}/{x}/{y}.png",  its own pixel frame: level 0 the
//       "top_level": 2,                     whole image in one tile, top_level 1:1
//       "wmts_sets": ["GoogleMapsCompatible", "native-scene"]}],  [] when not
//                                           georeferenced; no native set for an image
//                                           whose pixels are not square
//    "mosaic": {"id": "mosaic", "title": "All images", "layers": ["a", "b"],
//               "bounds": [...] or null, "zoom": {"min": 0, "max": 17},
//               "xyz": "/xyz/mosaic/{z}/{x}/{y}.png", "tilejson": "/xyz/mosaic.json"}}
nlohmann::json LayersJson(const Site &site);

// /api/point?x=X&y=Y[&crs=EPSG:3857][&layers=a,b][&count=N][&format=text]:
// what lies under (X, Y), given in one of the CRSs the WMS lists (default
// EPSG:3857, x first whatever the CRS) or, as crs=pixels:<layer>, at column
// X and row Y of a layer's pixel frame; every layer in that frame unless
// `layers` names some (the mosaic's, or any image's, in the order drawn,
// the first at the bottom); all hits, or the top `count`. Answered as
// featureinfo.h's JSON, or its text.
void AnswerApi(const Site &site, const HttpRequest &request, HttpResponse &response);

}  // namespace web
}  // namespace rhl

#endif
