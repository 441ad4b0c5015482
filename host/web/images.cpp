#include "images.h"

#include <stdio.h>
#include <string.h>

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
  return true;
}

const ImageSet::Image *ImageSet::Find(const std::string &id) const {
  for (const Image &image : images_)
    if (image.id == id) return &image;
  return nullptr;
}

bool ImageSet::ReadView(const Image &image, const ViewRequest &request, int32_t width,
                        int32_t height, uint8_t *pixels, std::string *error) {
  Session &session = *image.session;
  int32_t lineWidth = 0;
  if (!session.BeginView(request, &lineWidth)) {
    *error = "the module could not set up the view";
    session.AddLibraryReason(error);
    return false;
  }
  bool ok = lineWidth == width;
  if (!ok) *error = "the module chose a line width of " + std::to_string(lineWidth);
  for (int32_t y = 0; ok && y < height; ++y) {
    const uint8_t *line = session.ReadLine(y);
    if (line == nullptr) {
      *error = "the module did not deliver line " + std::to_string(y);
      session.AddLibraryReason(error);
      ok = false;
    } else {
      memcpy(pixels + (size_t)y * width * 3, line, (size_t)width * 3);
    }
  }
  session.EndView();
  return ok;
}

Tile ImageSet::Render(const std::string &id, int level, int64_t x, int64_t y) {
  Tile tile;
  const Image *image = Find(id);
  TileView view;
  if (image == nullptr || !TileViewOf(image->session->raster().width,
                                      image->session->raster().height, level, x, y, &view)) {
    tile.status = Tile::kNoSuchTile;
    return tile;
  }
  std::vector<uint8_t> pixels((size_t)view.width * view.height * 3);
  bool ok;
  {
    std::lock_guard<std::mutex> lock(entries_);
    auto start = std::chrono::steady_clock::now();
    ok = ReadView(*image, view.request, view.width, view.height, pixels.data(), &tile.error);
    tile.viewMs = MillisecondsSince(start);
  }
  if (!ok) {
    tile.error = "view " + RenderArguments(view.request) + " of '" + image->file + "': " + tile.error;
    return tile;
  }
  auto start = std::chrono::steady_clock::now();
  ok = EncodeTile(pixels.data(), view.width, view.height, kTileSize, &tile.png, &tile.error);
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
