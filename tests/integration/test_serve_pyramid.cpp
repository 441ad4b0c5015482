// The tile pyramid and tile encoding of rhl serve, on their own.
#include <gtest/gtest.h>

#include "pngtile.h"
#include "pyramid.h"
#include "serve_support.h"

using rhl::web::TileView;
using serve_support::DecodePng;
using serve_support::Pixels;

TEST(ServePyramid, LevelsRunFromOneTileToOneToOne) {
  struct Case {
    int32_t width, height;
    int top;
  } cases[] = {{1, 1, 0},     {256, 256, 0},  {257, 10, 1},          {512, 512, 1},
               {513, 1, 2},   {2048, 1024, 3}, {1003, 701, 2},        {10, 70000, 9},
               {INT32_MAX, 1, 23}};
  for (const Case &c : cases)
    EXPECT_EQ(rhl::web::TopLevel(c.width, c.height), c.top) << c.width << " x " << c.height;
}

TEST(ServePyramid, TileViewsAtTheEdgesOfHugeImages) {
  struct Case {
    int32_t width, height;
    int level;
    int64_t x, y;
    bool exists;
    RhlRect source;
    int32_t w, h;
  } cases[] = {
      // The whole of a 2^31 - 1 pixel wide image in one tile: scale 2^-23.
      {INT32_MAX, 3, 0, 0, 0, true, {0, 0, INT32_MAX, 3}, 256, 1},
      {INT32_MAX, 3, 0, 1, 0, false, {}, 0, 0},
      // Its last column at 1:1.
      {INT32_MAX, 3, 23, 8388607, 0, true, {2147483392, 0, INT32_MAX, 3}, 255, 3},
      {INT32_MAX, 3, 23, 8388608, 0, false, {}, 0, 0},
      {INT32_MAX, 3, 24, 0, 0, false, {}, 0, 0},
      // A sliver: one source column at an eighth keeps one pixel.
      {2049, 100, 1, 1, 0, true, {2048, 0, 2049, 100}, 1, 13},
      {100, 100, -1, 0, 0, false, {}, 0, 0},
      {100, 100, 0, -1, 0, false, {}, 0, 0},
      {0, 100, 0, 0, 0, false, {}, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " tile " +
                 std::to_string(c.level) + "/" + std::to_string(c.x) + "/" + std::to_string(c.y));
    TileView view;
    ASSERT_EQ(rhl::web::TileViewOf(c.width, c.height, c.level, c.x, c.y, &view), c.exists);
    if (!c.exists) continue;
    EXPECT_EQ(view.request.source.left, c.source.left);
    EXPECT_EQ(view.request.source.top, c.source.top);
    EXPECT_EQ(view.request.source.right, c.source.right);
    EXPECT_EQ(view.request.source.bottom, c.source.bottom);
    EXPECT_EQ(view.width, c.w);
    EXPECT_EQ(view.height, c.h);
    EXPECT_EQ(view.request.scale, view.scale);
  }
}

TEST(ServePyramid, ImageIdsAreSafeInPathsAndUnique) {
  std::vector<std::string> ids = rhl::web::ImageIds(
      {"a/world.url", "b/world.url", "world.ecw", "c/w\xc3\xb6rld map.ecw", "d/.hidden", "e/"});
  EXPECT_EQ(ids, std::vector<std::string>(
                     {"world", "world-2", "world-3", "w--rld-map", "-hidden", "image"}));
}

TEST(ServePyramid, TilePixelsMustFitTheTile) {
  std::vector<uint8_t> rgb(257 * 3, 7);
  std::string png, error;
  EXPECT_FALSE(rhl::web::EncodeTile(rgb.data(), 257, 1, 256, &png, &error));
  EXPECT_EQ(error, "a tile's pixels must fit the tile");
  EXPECT_FALSE(rhl::web::EncodeTile(rgb.data(), 0, 1, 256, &png, &error));
  ASSERT_TRUE(rhl::web::EncodeTile(rgb.data(), 3, 1, 4, &png, &error)) << error;
  Pixels p = DecodePng(png);
  ASSERT_EQ(p.bands, 4);
  EXPECT_EQ(p.at(2, 0)[0], 7);
  EXPECT_EQ(p.at(2, 0)[3], 255);
  EXPECT_EQ(p.at(3, 0)[3], 0);
  EXPECT_EQ(p.at(0, 3)[3], 0);
}
