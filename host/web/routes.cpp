#include "routes.h"

#include <stdio.h>
#include <strings.h>

#include "api.h"
#include "assets.h"
#include "pyramid.h"
#include "wms.h"
#include "wmts.h"
#include "xyz.h"

namespace rhl {
namespace web {
namespace {

bool StartsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// /tiles/{layer}/{z}/{x}/{y}.png: a layer's own pixel frame, level 0 the
// whole image in one tile, the top level 1:1; the layer is looked up among
// those served, never used as a path.
void ServeTile(const Site &s, const std::string &rest, HttpResponse &res) {
  std::vector<std::string> parts = Split(rest, '/');
  const std::string suffix = ".png";
  if (parts.size() != 4 || parts[3].size() <= suffix.size() ||
      parts[3].compare(parts[3].size() - suffix.size(), suffix.size(), suffix) != 0)
    return res.Refuse(404, "tiles are /tiles/{image}/{z}/{x}/{y}.png");
  int layer = s.catalogue.Find(parts[0]);
  if (layer < 0) return res.Refuse(404, "no image '" + parts[0] + "'");
  int64_t z, x, y;
  parts[3].erase(parts[3].size() - suffix.size());
  if (!ReadWhole(parts[1], 999999999, &z) || !ReadWhole(parts[2], 999999999, &x) ||
      !ReadWhole(parts[3], 999999999, &y) || parts[1].size() > 9 || parts[2].size() > 9 ||
      parts[3].size() > 9)
    return res.Refuse(400, "a tile's level, column and row are whole numbers");
  const Layer &l = s.catalogue[(size_t)layer];
  TileView view;
  if (z > 64 || !TileViewOf(l.width, l.height, (int)z, x, y, &view))
    return res.Refuse(404, "image '" + parts[0] + "' has no tile " + parts[1] + "/" + parts[2] +
                               "/" + parts[3]);
  // The tile's box in the frame: columns across, minus rows up.
  const double span = (double)kTileSize / view.scale;
  MapRequest r;
  r.frame = Frame::Pixels((size_t)layer);
  r.box = Box{(double)x * span, -(double)(y + 1) * span, (double)(x + 1) * span, -(double)y * span};
  r.width = r.height = kTileSize;
  r.layers = {(size_t)layer};
  std::string error;
  if (int failed = AnswerMap(s, r, kImageFormats[0], Background(), res, &error))
    res.Refuse(failed, error);
}

void ServeAsset(const HttpRequest &req, HttpResponse &res) {
  for (size_t i = 0; i < kAssetCount; ++i) {
    if (req.path == kAssets[i].path) {
      res.type = kAssets[i].type;
      res.body.assign(reinterpret_cast<const char *>(kAssets[i].bytes), kAssets[i].size);
      return;
    }
  }
  res.Refuse(404, "no such page");
}

void Route(const Site &s, const HttpRequest &req, HttpResponse &res) {
  const std::string &path = req.path;
  if (path == "/wms") return AnswerWms(s, req, res);
  if (path == "/wmts" || StartsWith(path, "/wmts/")) return AnswerWmts(s, path.substr(5), req, res);
  if (StartsWith(path, "/xyz/")) return AnswerXyz(s, path.substr(5), req, res);
  if (StartsWith(path, "/api/")) return AnswerApi(s, req, res);
  if (StartsWith(path, "/tiles/")) return ServeTile(s, path.substr(7), res);
  // A client given the server's bare address asks its services there.
  const std::string *service = req.Param("SERVICE");
  if (path == "/" && service != nullptr && strcasecmp(service->c_str(), "WMS") == 0)
    return AnswerWms(s, req, res);
  if (path == "/" && service != nullptr && strcasecmp(service->c_str(), "WMTS") == 0)
    return AnswerWmts(s, "", req, res);
  ServeAsset(req, res);
}

}  // namespace

HttpHandler Routes(const Site &site) {
  return [&site](const HttpRequest &req, HttpResponse &res) {
    try {
      Route(site, req, res);
    } catch (const std::exception &e) {
      res = HttpResponse();
      res.Refuse(500, e.what());
    }
  };
}

}  // namespace web
}  // namespace rhl
