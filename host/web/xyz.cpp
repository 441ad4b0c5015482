#include "xyz.h"

#include "tilematrix.h"

namespace rhl {
namespace web {

nlohmann::json TileJson(const Site &s, const std::string &name, const std::string &base) {
  const Catalogue &c = s.catalogue;
  std::vector<size_t> layers = c.Resolve(name, true);
  if (layers.empty()) return nullptr;
  const bool mosaic = name == kMosaicId;
  std::optional<Box> b = mosaic ? c.MosaicBounds(kCrs84) : c[layers[0]].bounds[kCrs84];
  Box g = b ? *b : Box{-180, -85.0511287798066, 180, 85.0511287798066};
  int maxzoom = mosaic ? c.MaxZoom() : c[layers[0]].zoom;
  // The zoom at which the layer fills about one tile.
  double span = std::max(g.maxx - g.minx, 1e-9);
  int fit = (int)std::max(0.0, std::min((double)maxzoom, floor(log2(360.0 / span))));
  return {{"tilejson", "2.2.0"},
          {"name", name},
          {"description", mosaic ? std::string("All images") : c[layers[0]].file},
          {"version", "1.0.0"},
          {"scheme", "xyz"},
          {"tiles", {base + "/xyz/" + name + "/{z}/{x}/{y}.png"}},
          {"minzoom", 0},
          {"maxzoom", maxzoom},
          {"bounds", {g.minx, g.miny, g.maxx, g.maxy}},
          {"center", {(g.minx + g.maxx) / 2, (g.miny + g.maxy) / 2, fit}}};
}

void AnswerXyz(const Site &s, const std::string &rest, const HttpRequest &q, HttpResponse &res) {
  const std::string json = ".json";
  if (rest.size() > json.size() && rest.find('/') == std::string::npos &&
      rest.compare(rest.size() - json.size(), json.size(), json) == 0) {
    std::string name = rest.substr(0, rest.size() - json.size());
    nlohmann::json tilejson = TileJson(s, name, BaseUrl(s, q));
    if (tilejson.is_null())
      return res.Refuse(404, "there is no georeferenced layer '" + Escaped(name) + "'");
    res.type = "application/json";
    res.body = tilejson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return;
  }
  std::vector<std::string> parts = Split(rest, '/');
  size_t dot = parts.back().rfind('.');
  const ImageFormat *format =
      dot == std::string::npos ? nullptr : FormatByExtension(parts.back().substr(dot + 1));
  if (parts.size() != 4 || format == nullptr)
    return res.Refuse(404, "XYZ tiles are /xyz/{layer}/{z}/{x}/{y}.png (or .jpg, .webp)");
  std::vector<size_t> layers = s.catalogue.Resolve(parts[0], true);
  if (layers.empty())
    return res.Refuse(404, "there is no georeferenced layer '" + Escaped(parts[0]) + "'");
  int64_t z = 0, x = 0, y = 0;
  if (!ReadWhole(parts[1], kDeepestZoom, &z) || !ReadWhole(parts[2], INT64_MAX / 2, &x) ||
      !ReadWhole(parts[3].substr(0, dot), INT64_MAX / 2, &y))
    return res.Refuse(404, "a tile's zoom (0 to " + std::to_string(kDeepestZoom) +
                               "), column and row are whole numbers");
  TileMatrix m = GoogleMapsLevel((int)z);
  if (x >= m.columns || y >= m.rows)
    return res.Refuse(404, "zoom " + parts[1] + " has tiles 0 to " + std::to_string(m.columns - 1) +
                               " each way");
  TileMatrixSet set;
  set.crs = kEpsg3857;
  std::string error;
  if (int failed = AnswerMap(s, TileRequest(set, m, x, y, layers), *format, Background(), res, &error))
    res.Refuse(failed, error);
}

}  // namespace web
}  // namespace rhl
