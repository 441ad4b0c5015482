// Through rhl: bands by their colour labels, nodata and transparent pixels
// black, and --a_nodata making them the output's nodata.
#include <gtest/gtest.h>

#include <functional>

#include "fixtures.h"
#include "gdal.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;


TEST(RhlNodata, ABlueGreenRedFileRendersInItsColours) {
  Fixture f;
  f.width = 80;
  f.height = 60;
  std::string rgb = Make("labels-rgb.tif", f);
  Decorate(rgb, "EPSG:4326", nullptr, {"Red", "Green", "Blue"});
  // The same picture stored blue first, and labelled so.
  std::string bgr = Scratch("labels-bgr.tif");
  Translate(rgb, bgr, {"-b", "3", "-b", "2", "-b", "1", "-colorinterp", "blue,green,red"});
  for (const char *size : {"", " --size 40x0"}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(Rhl("render " + rgb + " -o labels-a.tif" + size).status, 0);
    Outcome r = Rhl("render " + bgr + " -o labels-b.tif" + size);
    ASSERT_EQ(r.status, 0) << r.err;
    int w, h, b, w2, h2, b2;
    std::vector<unsigned char> a = Pixels(Scratch("labels-a.tif"), &w, &h, &b);
    std::vector<unsigned char> c = Pixels(Scratch("labels-b.tif"), &w2, &h2, &b2);
    EXPECT_EQ(a, c) << "red is red wherever the file keeps it";
  }
}

TEST(RhlNodata, NodataAndTransparencyBecomeTheOutputsNodata) {
  // A DEM whose top rows are nodata, and an image with transparent corners.
  Fixture dem;
  dem.bands = 1;
  dem.type = GDT_Float32;
  dem.width = 50;
  dem.height = 40;
  std::string demPath = Make("nd-dem.tif", dem);
  GDALDatasetH ds = GDALOpen(demPath.c_str(), GA_Update);
  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  std::vector<float> none(50 * 10, -9999.0f);
  ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 50, 10, none.data(), 50, 10, GDT_Float32, 0, 0), CE_None);
  GDALSetRasterNoDataValue(band, -9999);
  GDALClose(ds);

  Fixture rgba;
  rgba.bands = 4;
  rgba.width = 50;
  rgba.height = 40;
  std::string rgbaPath = Make("nd-rgba.tif", rgba);
  Decorate(rgbaPath, "", nullptr, {"Red", "Green", "Blue", "Alpha"});
  ds = GDALOpen(rgbaPath.c_str(), GA_Update);
  std::vector<unsigned char> alpha(50 * 40, 255);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) alpha[(size_t)y * 50 + x] = 0;
  ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, 4), GF_Write, 0, 0, 50, 40, alpha.data(), 50, 40,
                         GDT_Byte, 0, 0),
            CE_None);
  GDALClose(ds);

  struct Case {
    std::string source;
    std::function<bool(int x, int y)> hidden;
    std::string bands;  // what the note about a picture of other data says it holds
  } cases[] = {
      {demPath, [](int, int y) { return y < 10; }, "1 band of Float32"},
      {rgbaPath, [](int x, int y) { return x < 10 && y < 10; }, "4 bands of Byte"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.source);
    const std::string picture = "rhl: note: '" + c.source + "' holds " + c.bands +
                                ", not 8-bit grey or RGB: the output is the module's RGB display "
                                "picture of it, 3 bands of Byte (gdal_translate keeps the "
                                "source's bands and values)\n";
    Outcome plain = Rhl("render " + c.source + " -o nd.png");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, picture +
                             "rhl: note: the source's nodata and transparent pixels come out black; "
                             "--a_nodata 0 marks black as the output's nodata\n");
    Outcome marked = Rhl("render " + c.source + " -o nd.png --a_nodata 0");
    ASSERT_EQ(marked.status, 0) << marked.err;
    EXPECT_EQ(marked.err, picture);
    int w, h, b;
    std::vector<unsigned char> px = Pixels(Scratch("nd.png"), &w, &h, &b);
    ASSERT_EQ(b, 3);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const unsigned char *p = &px[3 * ((size_t)y * w + x)];
        bool black = p[0] == 0 && p[1] == 0 && p[2] == 0;
        ASSERT_EQ(black, c.hidden(x, y)) << x << "," << y;
      }
    GDALDatasetH out = GDALOpen(Scratch("nd.png").c_str(), GA_ReadOnly);
    int has = 0;
    EXPECT_EQ(GDALGetRasterNoDataValue(GDALGetRasterBand(out, 1), &has), 0.0);
    EXPECT_TRUE(has);
    GDALClose(out);
  }
}
