// A view drawn into a map of its own CRS, scaled and shifted, against
// GDAL's warper (gdalwarp -dstalpha) doing the same: the same pixels drawn,
// the same values within resampling.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>

#include <vector>

#include "cpl_conv.h"
#include "gdal.h"
#include "gdal_utils.h"
#include "ogr_srs_api.h"
#include "warp.h"

using namespace rhl::web;

namespace {

constexpr int kWidth = 61, kHeight = 47;
constexpr uint8_t kCanvasGreen = 77;  // what lies on the canvas before

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

GDALDatasetH Mem(int width, int height, int bands, const GeoTransform &gt, const char *crs) {
  GDALDatasetH ds = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, bands, GDT_Byte,
                               nullptr);
  GDALSetGeoTransform(ds, const_cast<double *>(gt.data()));
  if (crs != nullptr) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRSetFromUserInput(srs, crs);
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
  }
  return ds;
}

// gdalwarp of the picture at `source` into a target grid, as RGBA.
std::vector<uint8_t> Gdalwarp(const std::vector<uint8_t> &rgb, const GeoTransform &source,
                              int width, int height, const GeoTransform &target, const char *r,
                              const char *sourceCrs = nullptr, const char *targetCrs = nullptr) {
  GDALDatasetH src = Mem(kWidth, kHeight, 3, source, sourceCrs);
  int bands[3] = {1, 2, 3};
  EXPECT_EQ(GDALDatasetRasterIO(src, GF_Write, 0, 0, kWidth, kHeight,
                                const_cast<uint8_t *>(rgb.data()), kWidth, kHeight, GDT_Byte, 3,
                                bands, 3, kWidth * 3, 1),
            CE_None);
  GDALDatasetH dst = Mem(width, height, 4, target, targetCrs);
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

struct Compared {
  int drawn = 0, drawnDiffer = 0, canvasLost = 0;
  double mean = 0;
};

// The canvas after Warp against gdalwarp's RGBA: pixels drawn by one and not
// the other, canvas pixels lost where neither drew, the mean difference
// where both drew.
Compared Compare(const std::vector<uint8_t> &canvas, const std::vector<uint8_t> &expected) {
  Compared c;
  double sum = 0;
  for (size_t i = 0; i < canvas.size(); i += 4) {
    const uint8_t *got = &canvas[i], *want = &expected[i];
    if ((got[3] != 0) != (want[3] != 0)) ++c.drawnDiffer;
    if (got[3] == 0) {
      if (got[1] != kCanvasGreen) ++c.canvasLost;
      continue;
    }
    if (want[3] == 0) continue;
    ++c.drawn;
    for (int b = 0; b < 3; ++b) sum += fabs((double)got[b] - want[b]);
  }
  if (c.drawn > 0) c.mean = sum / (c.drawn * 3);
  return c;
}

// Drawn exactly where gdalwarp draws (nowhere for a case "nothing drawn"),
// the canvas kept elsewhere, the values within resampling of gdalwarp's.
void ExpectDrawnAsGdalwarp(const std::vector<uint8_t> &canvas, const std::vector<uint8_t> &expected,
                           const std::string &name) {
  Compared got = Compare(canvas, expected);
  EXPECT_EQ(got.drawnDiffer, 0);
  EXPECT_EQ(got.canvasLost, 0);
  if (name.find("nothing") != std::string::npos) {
    EXPECT_EQ(got.drawn, 0);
  } else {
    EXPECT_GT(got.drawn, 0);
    EXPECT_LT(got.mean, 1.5);
  }
}

std::vector<uint8_t> Canvas(int width, int height) {
  std::vector<uint8_t> canvas((size_t)width * height * 4, 0);
  for (size_t i = 0; i < canvas.size(); i += 4) canvas[i + 1] = kCanvasGreen;
  return canvas;
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
    std::vector<uint8_t> canvas = Canvas(c.width, c.height);
    WarpSource s{rgb.data(), kWidth, kHeight, source, false, 0};
    for (int m = 0; m < 7; ++m)
      if (std::string(c.resampling) == kResamplingNames[m]) s.resampling = m;
    WarpTarget t{canvas.data(), c.width, c.height, target};
    std::string error;
    ASSERT_TRUE(Warp(s, t, CrsList::Transform::Identity(), CrsList::Transform::Identity(), &error))
        << error;
    ExpectDrawnAsGdalwarp(canvas, expected, c.name);
  }
}

// Longitude and latitude into Web Mercator keeps columns and rows: drawn in
// bands of rows by GDAL's resampled read; UTM does not: GDAL's warper. Both
// as gdalwarp -t_srs draws them.
TEST(ServeWarp, AViewInAnotherCrsIsDrawnWhereAndAsGdalwarpDrawsIt) {
  GDALAllRegister();
  const std::vector<uint8_t> rgb = Picture();
  CrsList list;
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  ASSERT_EQ(OSRSetFromUserInput(srs, "EPSG:32633"), OGRERR_NONE);
  char *wkt = nullptr;
  OSRExportToWkt(srs, &wkt);
  const int utm = list.AddImageCrs(wkt, "EPSG:32633");
  CPLFree(wkt);
  OSRDestroySpatialReference(srs);
  ASSERT_GE(utm, 0);
  struct Case {
    const char *name;
    GeoTransform source;  // longitude and latitude
    int target;           // the map's CRS
    double minx, maxy, pixel;
    int width, height;
  } cases[] = {
      // 61 x 47 pixels of 1.5 degrees from 0E 80N: far north, rows far apart.
      {"Mercator, the whole view, 80N to 10S", {0, 1.5, 0, 80, 0, -1.5}, kEpsg3857, -1e6, 2.0e7,
       1.5e5, 80, 130},
      {"Mercator, inside it", {0, 1.5, 0, 80, 0, -1.5}, kEpsg3857, 2e6, 1.1e7, 8e4, 50, 60},
      {"Mercator, over its south-east corner", {0, 0.1, 0, 50, 0, -0.1}, kEpsg3857, 6.3e5, 5.8e6,
       1.0e4, 60, 50},
      {"Mercator, beside it, nothing drawn", {0, 0.1, 0, 50, 0, -0.1}, kEpsg3857, 2e6, 5e6, 1e4, 20,
       20},
      {"UTM", {10, 0.1, 0, 50, 0, -0.1}, utm, 3.0e5, 5.5e6, 8e3, 50, 40},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const GeoTransform target{c.minx, c.pixel, 0, c.maxy, 0, -c.pixel};
    const std::string targetWkt = list[c.target].wkt;
    std::vector<uint8_t> expected = Gdalwarp(rgb, c.source, c.width, c.height, target, "bilinear",
                                             "EPSG:4326", targetWkt.c_str());
    std::vector<uint8_t> canvas = Canvas(c.width, c.height);
    WarpSource s{rgb.data(), kWidth, kHeight, c.source, false, 1};
    WarpTarget t{canvas.data(), c.width, c.height, target};
    CrsList::Transform toSource = list.Borrow(c.target, kEpsg4326);
    CrsList::Transform toTarget = list.Borrow(kEpsg4326, c.target);
    std::string error;
    ASSERT_TRUE(Warp(s, t, toSource, toTarget, &error)) << error;
    ExpectDrawnAsGdalwarp(canvas, expected, c.name);
  }
}
