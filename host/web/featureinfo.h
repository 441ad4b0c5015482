// What lies under a point, as text or JSON: WMS GetFeatureInfo and the
// page's point query both answer with these.
#ifndef RHL_HOST_WEB_FEATUREINFO_H
#define RHL_HOST_WEB_FEATUREINFO_H

#include <nlohmann/json.hpp>
#include <string>

#include "maprequest.h"

namespace rhl {
namespace web {

// The point (x, y) in `frame`, and the hits of a point query there.
//
// JSON: a GeoJSON FeatureCollection, one Feature per layer with a pixel at
// the point, the top layer first:
//   {"type": "FeatureCollection",
//    "crs": "EPSG:3857",             the frame the point was given in (or
//                                    "pixels:<layer>" for a pixel frame)
//    "point": [x, y],                as given, x first
//    "features": [
//      {"type": "Feature", "id": "<layer id>",
//       "geometry": {"type": "Point", "coordinates": [lon, lat]} or null,
//       "properties": {
//         "layer": "<layer id>", "title": "<file name>", "file": "<as given>",
//         "crs": "EPSG:32633",       the layer's CRS ("" when it has no identifier;
//                                    null for an image in its own pixel frame)
//         "x": 500012.5, "y": 4199987.5,  the point in the layer's CRS, x first
//                                    (its pixel frame: column and row, fractional)
//         "column": 5, "row": 4,     the image pixel
//         "rgb": [12, 34, 56],       as the module delivers it at 1:1
//         "nodata": false}}]}        true where black stands for no data
nlohmann::json PointJson(const Catalogue &catalogue, Frame frame, double x, double y,
                         const PointAnswer &answer);

// The same in lines of text.
std::string PointText(const Catalogue &catalogue, Frame frame, double x, double y,
                      const PointAnswer &answer);

}  // namespace web
}  // namespace rhl

#endif
