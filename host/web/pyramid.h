// The tile pyramid of one image. Level 0 shows the whole image in one tile;
// each level above doubles the scale, up to the top level at 1:1. Every tile
// is kTileSize pixels square and is one module view: the tile's part of the
// image at the level's scale, filling the tile from its top-left corner (the
// rest of an edge tile stays transparent).
#ifndef RHL_HOST_WEB_PYRAMID_H
#define RHL_HOST_WEB_PYRAMID_H

#include <stdint.h>

#include <string>
#include <vector>

#include "session.h"

namespace rhl {
namespace web {

constexpr int kTileSize = 256;

// The top level: the fewest halvings that fit the image in one tile.
int TopLevel(int32_t width, int32_t height);

struct TileView {
  ViewRequest request;  // what the module is asked for
  double scale = 1.0;   // the level's scale, 2^(level - top)
  int32_t width = 0;    // the pixels the view fills, from the tile's top-left
  int32_t height = 0;
};

// The view of tile (x, y) at `level` of a width x height image; false when
// the pyramid has no such tile.
bool TileViewOf(int32_t width, int32_t height, int level, int64_t x, int64_t y, TileView *view);

// Names for images in tile paths: each file's base name without extension,
// in letters, digits, '-' and '_', made unique with "-2", "-3", ... (also
// apart from the names in `reserved`).
std::vector<std::string> ImageIds(const std::vector<std::string> &files,
                                  const std::vector<std::string> &reserved = {});

}  // namespace web
}  // namespace rhl

#endif
