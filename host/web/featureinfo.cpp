#include "featureinfo.h"

#include "cli.h"

namespace rhl {
namespace web {
namespace {

std::string FrameName(const Catalogue &c, Frame frame) {
  if (frame.pixelsOf >= 0) return "pixels:" + c[frame.pixelsOf].id;
  return c.crs()[frame.crs].id;
}

// The layer's CRS as the answer names it.
nlohmann::json LayerCrs(const Catalogue &c, const Layer &l) {
  if (!l.georeferenced()) return nullptr;
  return c.crs()[l.crs].id;
}

}  // namespace

nlohmann::json PointJson(const Catalogue &c, Frame frame, double x, double y,
                         const PointAnswer &answer) {
  nlohmann::json geometry = nullptr;
  if (frame.crs >= 0) {
    double lon = x, lat = y;
    int ok = 0;
    if (c.crs().Borrow(frame.crs, kCrs84).Points(1, &lon, &lat, &ok))
      geometry = {{"type", "Point"}, {"coordinates", {lon, lat}}};
  }
  nlohmann::json features = nlohmann::json::array();
  for (const PointHit &h : answer.hits) {
    const Layer &l = c[h.layer];
    features.push_back({{"type", "Feature"},
                        {"id", l.id},
                        {"geometry", geometry},
                        {"properties",
                         {{"layer", l.id},
                          {"title", l.title},
                          {"file", l.file},
                          {"crs", LayerCrs(c, l)},
                          {"x", h.x},
                          {"y", h.y},
                          {"column", h.col},
                          {"row", h.row},
                          {"rgb", {h.rgb[0], h.rgb[1], h.rgb[2]}},
                          {"nodata", h.nodata}}}});
  }
  return {{"type", "FeatureCollection"},
          {"crs", FrameName(c, frame)},
          {"point", {x, y}},
          {"features", features}};
}

std::string PointText(const Catalogue &c, Frame frame, double x, double y,
                      const PointAnswer &answer) {
  std::string text = "Point " + ShortNumber(x) + ", " + ShortNumber(y) + " in " +
                     FrameName(c, frame) + "\n";
  if (answer.hits.empty()) text += "No layer has a pixel there.\n";
  for (const PointHit &h : answer.hits) {
    const Layer &l = c[h.layer];
    text += "\nLayer '" + l.id + "' ('" + l.file + "')\n";
    std::string crs = l.georeferenced() ? c.crs()[l.crs].id : "pixels";
    text += "  " + (crs.empty() ? std::string("its CRS") : crs) + ": " + ShortNumber(h.x) +
            ", " + ShortNumber(h.y) + "\n";
    text += "  pixel: column " + std::to_string(h.col) + ", row " + std::to_string(h.row) + "\n";
    text += "  RGB: " + std::to_string(h.rgb[0]) + ", " + std::to_string(h.rgb[1]) + ", " +
            std::to_string(h.rgb[2]) + (h.nodata ? " (no data)" : "") + "\n";
  }
  return text;
}

}  // namespace web
}  // namespace rhl
