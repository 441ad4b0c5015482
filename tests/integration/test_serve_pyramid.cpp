// The tile pyramid and tile encoding of rhl serve, on their own.
#include <gtest/gtest.h>

#include "encode.h"
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

TEST(ServeEncode, MapsKeepTheirTransparencyOrLieOverTheBackground) {
  // A 4 x 2 map: opaque red, half-transparent green, transparent, opaque blue.
  const uint8_t pixels[] = {255, 0, 0, 255, 0, 255, 0, 128, 9, 9, 9, 0,   0, 0, 255, 255,
                            255, 0, 0, 255, 0, 255, 0, 128, 9, 9, 9, 0,   0, 0, 255, 255};
  struct Case {
    const char *mime;
    bool transparent;
    int bands;              // as GDAL reads the result
    uint8_t third[4];       // the third pixel, as GDAL reads it
    int tolerance;          // lossy formats
  } cases[] = {
      {"image/png", true, 4, {9, 9, 9, 0}, 0},
      {"image/png", false, 3, {0, 0, 0, 255}, 0},        // over black
      {"image/jpeg", true, 3, {0, 0, 0, 255}, 40},       // never transparent
      {"image/webp", true, 4, {9, 9, 9, 0}, 40},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.mime) + (c.transparent ? " transparent" : " opaque"));
    const rhl::web::ImageFormat *format = rhl::web::FormatByMime(c.mime);
    ASSERT_NE(format, nullptr);
    std::vector<uint8_t> rgba(pixels, pixels + sizeof pixels);
    rhl::web::Background background;
    background.transparent = c.transparent;
    background.rgb[0] = background.rgb[1] = background.rgb[2] = 0;
    std::string bytes, error;
    ASSERT_TRUE(rhl::web::Encode(*format, rgba.data(), 4, 2, background, &bytes, &error)) << error;
    Pixels p = DecodePng(bytes);  // GDAL reads any of the three
    ASSERT_EQ(p.width, 4);
    ASSERT_EQ(p.bands, c.bands);
    if (c.tolerance == 0) {
      for (int b = 0; b < c.bands; ++b) EXPECT_EQ(p.at(2, 1)[b], c.third[b]) << "band " << b;
      EXPECT_EQ(p.at(0, 0)[0], 255);
      if (!c.transparent) {
        EXPECT_EQ(p.at(1, 0)[1], 128);  // green over black, half
      }
    }
    if (c.bands == 4) {
      EXPECT_EQ(p.at(0, 0)[3], 255);
      EXPECT_EQ(p.at(2, 0)[3], 0);
    }
  }
  // A map opaque throughout loses its alpha; an empty one is refused.
  std::vector<uint8_t> opaque(16, 255);
  std::string png, error;
  ASSERT_TRUE(rhl::web::Encode(rhl::web::kImageFormats[0], opaque.data(), 2, 2,
                               rhl::web::Background(), &png, &error));
  EXPECT_EQ(DecodePng(png).bands, 3);
  EXPECT_FALSE(rhl::web::Encode(rhl::web::kImageFormats[0], opaque.data(), 0, 2,
                                rhl::web::Background(), &png, &error));
  EXPECT_EQ(error, "an image of no pixels");
  EXPECT_EQ(rhl::web::FormatByExtension("jpeg"), rhl::web::FormatByMime("IMAGE/JPEG"));
  EXPECT_EQ(rhl::web::FormatByMime("image/gif"), nullptr);
}
