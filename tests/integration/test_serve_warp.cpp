// A view drawn into a map of its own CRS, scaled and shifted, against
// GDAL's warper (gdalwarp -dstalpha) doing the same: the same pixels drawn,
// the same values within resampling.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>

#include <vector>

#include "gdal.h"
#include "gdal_utils.h"
#include "warp.h"

using namespace rhl::web;

namespace {

constexpr int kWidth = 61, kHeight = 47;

// A smooth picture with some texture, so resampling differences stay small
// but a pixel out of place does not.
std::vector<uint8_t> Picture() {
  std::vector<uint8_t> rgb(kWidth * kHeight * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t *p = &rgb[(y * kWidth + x) * 3];
      p[0] = (uint8_t)(x * 4);
      p[1] = (uint8_t)(y * 5);
      p[2] = (uint8_t)(128 + 100 * sin(x * 0.3) * cos(y * 0.2));
    }
  return rgb;
}

GDALDatasetH Mem(int width, int height, int bands, const GeoTransform &gt) {
  GDALDatasetH ds = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, bands, GDT_Byte,
                               nullptr);
  GDALSetGeoTransform(ds, const_cast<double *>(gt.data()));
  return ds;
}

// gdalwarp of the picture at `source` into a target grid, as RGBA.
std::vector<uint8_t> Gdalwarp(const std::vector<uint8_t> &rgb, const GeoTransform &source,
                              int width, int height, const GeoTransform &target, const char *r) {
  GDALDatasetH src = Mem(kWidth, kHeight, 3, source);
  int bands[3] = {1, 2, 3};
  EXPECT_EQ(GDALDatasetRasterIO(src, GF_Write, 0, 0, kWidth, kHeight,
                                const_cast<uint8_t *>(rgb.data()), kWidth, kHeight, GDT_Byte, 3,
                                bands, 3, kWidth * 3, 1),
            CE_None);
  GDALDatasetH dst = Mem(width, height, 4, target);
  char *argv[] = {(char *)"-r", (char *)r, (char *)"-dstalpha", nullptr};
  GDALWarpAppOptions *options = GDALWarpAppOptionsNew(argv, nullptr);
  EXPECT_NE(GDALWarp(nullptr, dst, 1, &src, options, nullptr), nullptr);
  GDALWarpAppOptionsFree(options);
  std::vector<uint8_t> rgba((size_t)width * height * 4);
  int all[4] = {1, 2, 3, 4};
  EXPECT_EQ(GDALDatasetRasterIO(dst, GF_Read, 0, 0, width, height, rgba.data(), width, height,
                                GDT_Byte, 4, all, 4, width * 4, 1),
            CE_None);
  GDALClose(src);
  GDALClose(dst);
  return rgba;
}

}  // namespace

TEST(ServeWarp, AViewScaledAndShiftedIsDrawnWhereAndAsGdalwarpDrawsIt) {
  GDALAllRegister();
  const std::vector<uint8_t> rgb = Picture();
  const GeoTransform source{100, 2, 0, 500, 0, -2};
  struct Case {
    const char *name;
    double left, top, step;  // the map's corner in the view's pixels, its pixel in view pixels
    int width, height;
    const char *resampling;
  } cases[] = {
      {"inside, shifted a fraction", 3.37, 5.61, 1.0, 40, 30, "bilinear"},
      {"enlarged", 2.25, 1.8, 0.7, 60, 50, "bilinear"},
      {"reduced", 0.4, 0.9, 1.13, 45, 35, "bilinear"},
      {"reduced more", 1.2, 0.3, 2.5, 20, 16, "average"},
      {"over the left and top edges", -7.3, -4.55, 0.9, 40, 30, "bilinear"},
      {"over the right and bottom edges", 30.6, 20.2, 1.3, 40, 30, "bilinear"},
      {"around the whole view", -9.5, -8.25, 1.5, 60, 50, "near"},
      {"beside it, nothing drawn", 70.0, 3.0, 1.0, 20, 20, "bilinear"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const GeoTransform target{source[0] + c.left * source[1], c.step * source[1], 0,
                              source[3] + c.top * source[5], 0, c.step * source[5]};
    std::vector<uint8_t> expected = Gdalwarp(rgb, source, c.width, c.height, target, c.resampling);
    // What lay on the canvas stays where the view draws nothing.
    std::vector<uint8_t> canvas((size_t)c.width * c.height * 4, 0);
    for (size_t i = 0; i < canvas.size(); i += 4) canvas[i + 1] = 77;
    WarpSource s{rgb.data(), kWidth, kHeight, source, false, 0};
    for (int m = 0; m < 7; ++m)
      if (std::string(c.resampling) == kResamplingNames[m]) s.resampling = m;
    WarpTarget t{canvas.data(), c.width, c.height, target};
    std::string error;
    ASSERT_TRUE(Warp(s, t, CrsList::Transform::Identity(), CrsList::Transform::Identity(), &error))
        << error;
    int drawnDiffer = 0, drawn = 0;
    double sum = 0;
    for (int i = 0; i < c.width * c.height; ++i) {
      const uint8_t *got = &canvas[i * 4], *want = &expected[i * 4];
      if ((got[3] != 0) != (want[3] != 0)) ++drawnDiffer;
      if (want[3] == 0 && got[3] == 0) {
        EXPECT_EQ(got[1], 77) << "pixel " << i;
        continue;
      }
      ++drawn;
      for (int b = 0; b < 3; ++b) sum += fabs((double)got[b] - want[b]);
    }
    EXPECT_EQ(drawnDiffer, 0);
    if (std::string(c.name).find("nothing") != std::string::npos) {
      EXPECT_EQ(drawn, 0);
    } else {
      ASSERT_GT(drawn, 0);
      EXPECT_LT(sum / (drawn * 3), 1.5);
    }
  }
}
