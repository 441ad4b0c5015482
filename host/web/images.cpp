#include "images.h"

#include <stdio.h>

#include <chrono>

#include "pngtile.h"
#include "pyramid.h"

namespace rhl {
namespace web {
namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string RenderArguments(const ViewRequest &r) {
  char text[160];
  snprintf(text, sizeof text, "--src %d,%d,%d,%d --scale %.17g", r.source.left, r.source.top,
           r.source.right, r.source.bottom, r.scale);
  return text;
}

}  // namespace

bool ImageSet::Open(const std::string &modulePath, const std::vector<std::string> &files,
                    std::string *error) {
  std::vector<std::string> ids = ImageIds(files);
  for (size_t i = 0; i < files.size(); ++i) {
    Image image{ids[i], files[i], std::make_unique<Session>()};
    if (!image.session->Load(modulePath, error) ||
        !image.session->ProbeAndOpen(files[i], error))
      return false;
    const Raster &r = image.session->raster();
    if (r.width < 1 || r.height < 1 || r.registration == nullptr) {
      *error = "the module opened '" + files[i] + "' with no pixels or no registration";
      return false;
    }
    images_.push_back(std::move(image));
  }
  std::vector<Session *> sessions;
  for (Image &image : images_) sessions.push_back(image.session.get());
  local_ = std::make_unique<LocalViews>(sessions);
  views_ = local_.get();
  return true;
}

int ImageSet::Find(const std::string &id) const {
  for (size_t i = 0; i < images_.size(); ++i)
    if (images_[i].id == id) return (int)i;
  return -1;
}

Tile ImageSet::Render(const std::string &id, int level, int64_t x, int64_t y) {
  Tile tile;
  int index = Find(id);
  TileView view;
  if (index < 0 || !TileViewOf(images_[index].session->raster().width,
                               images_[index].session->raster().height, level, x, y, &view)) {
    tile.status = Tile::kNoSuchTile;
    return tile;
  }
  ViewPixels pixels = views_->View(index, view.request);
  tile.viewMs = pixels.viewMs;
  if (pixels.status != ViewPixels::kMade) {
    if (pixels.status == ViewPixels::kTimedOut) tile.status = Tile::kTimedOut;
    tile.error = "view " + RenderArguments(view.request) + " of '" + images_[index].file +
                 "': " + pixels.error;
    return tile;
  }
  auto start = std::chrono::steady_clock::now();
  bool ok = EncodeTile(pixels.rgb.data(), pixels.width, pixels.height, kTileSize, &tile.png,
                       &tile.error);
  tile.encodeMs = MillisecondsSince(start);
  tile.status = ok ? Tile::kMade : Tile::kFailed;
  return tile;
}

nlohmann::json ImageSet::Describe() const {
  nlohmann::json out = {{"tile_size", kTileSize}, {"images", nlohmann::json::array()}};
  if (!images_.empty()) {
    const HandlerDescriptor &d = images_.front().session->descriptor();
    out["module"] = {{"name", d.name}, {"description", d.description}};
  }
  for (const Image &image : images_) {
    const Raster &r = image.session->raster();
    // The block is packed: its doubles are copied out, never bound by reference.
    nlohmann::json corners = nlohmann::json::array();
    for (const ControlPoint &p : r.registration->points) {
      double px = p.pixelX, py = p.pixelY, wx = p.worldX, wy = p.worldY;
      corners.push_back({px, py, wx, wy});
    }
    out["images"].push_back({{"id", image.id},
                             {"file", image.file},
                             {"resolved", r.name},
                             {"width", r.width},
                             {"height", r.height},
                             {"top_level", TopLevel(r.width, r.height)},
                             {"tiles", "/tiles/" + image.id + "/{z}/{x}/{y}.png"},
                             {"geotransform", GeoTransformOf(*r.registration)},
                             {"control_points", corners}});
  }
  return out;
}

}  // namespace web
}  // namespace rhl
