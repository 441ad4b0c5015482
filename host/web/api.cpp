#include "api.h"

#include <string.h>

#include "featureinfo.h"
#include "pyramid.h"
#include "tilematrix.h"

namespace rhl {
namespace web {
namespace {

std::string Dump(const nlohmann::json &j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json BoundsJson(const std::optional<Box> &b) {
  if (!b) return nullptr;
  return {b->minx, b->miny, b->maxx, b->maxy};
}

nlohmann::json LayerJson(const Site &s, const Layer &l) {
  const Catalogue &c = s.catalogue;
  nlohmann::json bands = nlohmann::json::array();
  for (const BandFacts &b : l.facts.bands)
    bands.push_back({{"type", b.type},
                     {"color", b.color},
                     {"description", b.description},
                     {"nodata", b.hasNodata ? nlohmann::json(b.nodata) : nlohmann::json()}});
  nlohmann::json j = {{"id", l.id},
                      {"file", l.file},
                      {"title", l.title},
                      {"driver", l.facts.driver},
                      {"width", l.width},
                      {"height", l.height},
                      {"georeferenced", l.georeferenced()},
                      {"geotransform", l.gt},
                      {"bands", bands},
                      {"nodata", l.blackIsNodata},
                      {"tiles", "/tiles/" + l.id + "/{z}/{x}/{y}.png"},
                      {"top_level", TopLevel(l.width, l.height)}};
  if (!l.georeferenced()) {
    j["note"] = l.note;
    j["crs"] = nullptr;
    j["bounds"] = nullptr;
    j["zoom"] = nullptr;
    j["xyz"] = j["tilejson"] = nullptr;
    j["wmts_sets"] = nlohmann::json::array();
    return j;
  }
  const CrsEntry &e = c.crs()[l.crs];
  j["crs"] = {{"id", e.id}, {"name", e.name}, {"wkt", e.wkt}};
  j["bounds"] = BoundsJson(l.bounds[kEpsg4326]);
  j["zoom"] = {{"min", 0}, {"max", l.zoom}};
  j["xyz"] = "/xyz/" + l.id + "/{z}/{x}/{y}.png";
  j["tilejson"] = "/xyz/" + l.id + ".json";
  j["wmts_sets"] = {kGoogleMaps};
  TileMatrixSet native;
  if (NativeSet(c, l, &native)) j["wmts_sets"].push_back(native.id);
  return j;
}

// The pixel-frame page's catalogue: per image its name, size, levels, tile
// path and registration; the module's name and description.
nlohmann::json ImagesJson(const Catalogue &c) {
  nlohmann::json out = {{"tile_size", kTileSize}, {"images", nlohmann::json::array()}};
  const HandlerDescriptor &d = c.descriptor();
  out["module"] = {{"name", d.name}, {"description", d.description}};
  for (const Layer &l : c.layers()) {
    const Raster &r = l.session->raster();
    // The block is packed: its doubles are copied out, never bound by reference.
    nlohmann::json corners = nlohmann::json::array();
    for (const ControlPoint &p : r.registration->points) {
      double px = p.pixelX, py = p.pixelY, wx = p.worldX, wy = p.worldY;
      corners.push_back({px, py, wx, wy});
    }
    out["images"].push_back({{"id", l.id},
                             {"file", l.file},
                             {"width", l.width},
                             {"height", l.height},
                             {"top_level", TopLevel(l.width, l.height)},
                             {"tiles", "/tiles/" + l.id + "/{z}/{x}/{y}.png"},
                             {"geotransform", GeoTransformOf(*r.registration)},
                             {"control_points", corners}});
  }
  return out;
}

void AnswerPoint(const Site &s, const HttpRequest &q, HttpResponse &res) {
  const Catalogue &c = s.catalogue;
  double x = 0, y = 0;
  const std::string *xt = q.Param("x"), *yt = q.Param("y");
  if (xt == nullptr || yt == nullptr || !ReadNumber(*xt, &x) || !ReadNumber(*yt, &y))
    return res.Refuse(400, "a point is x=X&y=Y, two numbers");
  const std::string *crsText = q.Param("crs");
  std::string crsName = crsText != nullptr ? *crsText : "EPSG:3857";
  Frame frame;
  std::vector<size_t> layers;
  const std::string pixels = "pixels:";
  if (crsName.compare(0, pixels.size(), pixels) == 0) {
    int layer = c.Find(crsName.substr(pixels.size()));
    if (layer < 0)
      return res.Refuse(400, "there is no layer '" + Escaped(crsName.substr(pixels.size())) + "'");
    frame = Frame::Pixels((size_t)layer);
    layers = {(size_t)layer};
    y = -y;  // the frame's y is minus the row
  } else {
    int crs = c.crs().Find(crsName);
    if (crs < 0)
      return res.Refuse(400, "crs '" + Escaped(crsName) + "' is not one this server lists");
    frame = Frame::Crs(crs);
    layers = c.mosaic();
  }
  if (const std::string *names = q.Param("layers")) {
    layers.clear();
    for (const std::string &name : Split(*names, ',')) {
      std::vector<size_t> found = c.Resolve(name, false);
      if (found.empty() && name != kMosaicId)
        return res.Refuse(400, "there is no layer '" + Escaped(name) + "'");
      layers.insert(layers.end(), found.begin(), found.end());
    }
  }
  int64_t count = INT32_MAX;
  if (const std::string *n = q.Param("count")) {
    if (!ReadWhole(*n, INT32_MAX, &count) || count < 1)
      return res.Refuse(400, "count is a whole number from 1");
  }
  PointAnswer answer = QueryPoint(c, frame, x, y, layers);
  if (!answer.made) return res.Refuse(answer.timedOut ? 504 : 500, answer.error);
  if (answer.hits.size() > (size_t)count) answer.hits.resize((size_t)count);
  if (frame.pixelsOf >= 0) y = -y;
  const std::string *format = q.Param("format");
  if (format != nullptr && *format == "text") {
    res.type = "text/plain; charset=utf-8";
    res.body = PointText(c, frame, x, y, answer);
  } else {
    res.type = "application/json";
    res.body = Dump(PointJson(c, frame, x, y, answer));
  }
}

}  // namespace

nlohmann::json LayersJson(const Site &s) {
  const Catalogue &c = s.catalogue;
  const HandlerDescriptor &d = c.descriptor();
  nlohmann::json layers = nlohmann::json::array(), members = nlohmann::json::array();
  for (const Layer &l : c.layers()) layers.push_back(LayerJson(s, l));
  for (size_t i : c.mosaic()) members.push_back(c[i].id);
  nlohmann::json out;
  out["module"] = {{"name", d.name}, {"description", d.description}};
  out["tile_size"] = kTileSide;
  out["max_map_side"] = kMaxMapSide;
  out["services"] = {{"wms", "/wms"},
                     {"wmts", "/wmts/1.0.0/WMTSCapabilities.xml"},
                     {"point", "/api/point"}};
  out["layers"] = layers;
  const std::string mosaic = kMosaicId;
  out["mosaic"] = {{"id", mosaic},
                   {"title", "All images"},
                   {"layers", members},
                   {"bounds", BoundsJson(c.MosaicBounds(kEpsg4326))},
                   {"zoom", {{"min", 0}, {"max", c.MaxZoom()}}},
                   {"xyz", "/xyz/" + mosaic + "/{z}/{x}/{y}.png"},
                   {"tilejson", "/xyz/" + mosaic + ".json"}};
  return out;
}

void AnswerApi(const Site &s, const HttpRequest &q, HttpResponse &res) {
  if (q.path == "/api/layers") {
    res.type = "application/json";
    res.body = Dump(LayersJson(s));
  } else if (q.path == "/api/images") {
    res.type = "application/json";
    res.body = Dump(ImagesJson(s.catalogue));
  } else if (q.path == "/api/point") {
    AnswerPoint(s, q, res);
  } else {
    res.Refuse(404, "no such page");
  }
}

}  // namespace web
}  // namespace rhl
