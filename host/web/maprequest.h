// The one place where a map is made of views: a box in a CRS (or in one
// image's pixel frame) at width x height becomes, for each layer it
// touches, the window of image pixels that covers it, one view of that
// window through the view service at the scale the map needs (the module
// never enlarges), and GDAL's warper from the view's pixels into the map's
// grid; the layers drawn one over the other, bottom first. Where the map's
// grid is the image's own at a whole reduction (1:1, 1:2, 1:3, ...), the
// view is the map's pixels, as `rhl render` delivers that window at that
// size. WMS, WMTS, XYZ and the pixel tiles all come here.
#ifndef RHL_HOST_WEB_MAPREQUEST_H
#define RHL_HOST_WEB_MAPREQUEST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "catalogue.h"

namespace rhl {
namespace web {

// Where a request's coordinates are: a CRS of the catalogue's list, or one
// layer's pixel frame (x the column, y minus the row, so north is up there
// too).
struct Frame {
  int crs = -1;
  int pixelsOf = -1;
  static Frame Crs(int crs) { return Frame{crs, -1}; }
  static Frame Pixels(size_t layer) { return Frame{-1, (int)layer}; }
};

struct MapRequest {
  Frame frame;
  Box box;  // the map's outer edges
  int width = 0, height = 0;
  std::vector<size_t> layers;  // drawn in this order, the first at the bottom (a layer
                               // named twice, once: where it is named last)
};

struct MapImage {
  bool made = false;
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // 4 bytes a pixel, lines packed; alpha 0 where no layer is
  int drawn = 0;              // layers that put pixels in it
  std::string error;          // why it was not made
  bool timedOut = false;      // a view ran out of time
  double viewMs = 0, warpMs = 0;
};

MapImage RenderMap(const Catalogue &catalogue, const MapRequest &request);

// What lies under one point: per layer that has a pixel there (once, where
// it is named last), top first.
struct PointHit {
  size_t layer = 0;
  double x = 0, y = 0;       // the point in the layer's CRS (its pixel frame: column, row)
  int64_t col = 0, row = 0;  // the image pixel
  uint8_t rgb[3] = {0, 0, 0};
  bool nodata = false;       // black standing for no data
};
struct PointAnswer {
  bool made = false;
  std::vector<PointHit> hits;
  std::string error;
  bool timedOut = false;  // a view ran out of time
};

PointAnswer QueryPoint(const Catalogue &catalogue, Frame frame, double x, double y,
                       const std::vector<size_t> &layers);

}  // namespace web
}  // namespace rhl

#endif
