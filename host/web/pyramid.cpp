#include "pyramid.h"

#include <ctype.h>

#include <algorithm>
#include <set>

namespace rhl {
namespace web {

int TopLevel(int32_t width, int32_t height) {
  int64_t side = std::max(width, height);
  int level = 0;
  while ((side + ((int64_t)1 << level) - 1) >> level > kTileSize) ++level;
  return level;
}

bool TileViewOf(int32_t width, int32_t height, int level, int64_t x, int64_t y, TileView *view) {
  int top = TopLevel(width, height);
  if (width < 1 || height < 1 || level < 0 || level > top || x < 0 || y < 0) return false;
  // Source pixels a tile spans at this level.
  int64_t span = (int64_t)kTileSize << (top - level);
  int64_t left = x * span, upper = y * span;
  if (left >= width || upper >= height) return false;
  RhlRect source = {(int32_t)left, (int32_t)upper, (int32_t)std::min<int64_t>(left + span, width),
                    (int32_t)std::min<int64_t>(upper + span, height)};
  view->scale = 1.0 / (double)((int64_t)1 << (top - level));
  view->request = ScaledView(source, view->scale);
  WindowSize(view->request, &view->width, &view->height);
  return true;
}

std::vector<std::string> ImageIds(const std::vector<std::string> &files,
                                  const std::vector<std::string> &reserved) {
  std::vector<std::string> ids;
  std::set<std::string> taken(reserved.begin(), reserved.end());
  for (const std::string &file : files) {
    std::string base = file.substr(file.find_last_of('/') + 1);
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    std::string id;
    for (char c : base) id += isalnum((unsigned char)c) || c == '-' || c == '_' ? c : '-';
    if (id.empty()) id = "image";
    std::string unique = id;
    for (int n = 2; taken.count(unique) != 0; ++n) unique = id + "-" + std::to_string(n);
    taken.insert(unique);
    ids.push_back(unique);
  }
  return ids;
}

}  // namespace web
}  // namespace rhl
