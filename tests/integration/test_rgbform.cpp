// The library's RGB form where the image says more than its samples: bands
// taken by their colour labels, nodata and transparent pixels black, and a
// stretched image's valid pixels kept off black. GDAL reads the same images
// as the oracle.
#include <gtest/gtest.h>

#include <functional>

#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "gdal.h"

using namespace fixtures;

namespace {

using Pattern = std::function<double(int x, int y)>;

struct Bands {
  GDALDataType type = GDT_Byte;
  std::vector<Pattern> values;
  std::vector<GDALColorInterp> colours;  // empty: GDAL's defaults
  bool hasNodata = false;
  double nodata = 0;
  bool overviews = false;
};

constexpr int kSize = 64;

std::string MakeImage(const std::string &name, const Bands &b) {
  GDALAllRegister();
  std::string path = TempDir() + "/" + name;
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", kSize, kSize,
                                (int)b.values.size(), b.type, nullptr);
  std::vector<double> row(kSize);
  for (size_t k = 0; k < b.values.size(); ++k) {
    GDALRasterBandH band = GDALGetRasterBand(mem, (int)k + 1);
    for (int y = 0; y < kSize; ++y) {
      for (int x = 0; x < kSize; ++x) row[x] = b.values[k](x, y);
      EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, y, kSize, 1, row.data(), kSize, 1, GDT_Float64, 0, 0),
                CE_None);
    }
    if (k < b.colours.size()) GDALSetRasterColorInterpretation(band, b.colours[k]);
    if (b.hasNodata) GDALSetRasterNoDataValue(band, b.nodata);
  }
  GeoTransform gt = kGeo;
  GDALSetGeoTransform(mem, gt.data());
  const char *options[] = {"TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32", nullptr};
  GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName("GTiff"), path.c_str(), mem, FALSE,
                                    const_cast<char **>(options), nullptr, nullptr);
  GDALClose(mem);
  if (b.overviews) {
    int levels[] = {2, 4};
    EXPECT_EQ(GDALBuildOverviews(out, "AVERAGE", 2, levels, 0, nullptr, nullptr, nullptr), CE_None);
  }
  GDALClose(out);
  return path;
}

// Every line of a view of the whole image at `window` pixels a side.
std::vector<uint8_t> View(const std::string &path, int window) {
  EcwView *view = nullptr;
  EXPECT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  EcwFileInfo *info = nullptr;
  EXPECT_EQ(NCScbmGetViewFileInfo(view, &info), 0);
  std::vector<uint32_t> bands;
  for (uint32_t b = 0; b < std::min<uint32_t>(info->bands, 3); ++b) bands.push_back(b);
  EXPECT_EQ(NCScbmSetFileView(view, (uint32_t)bands.size(), bands.data(), 0, 0, kSize - 1,
                              kSize - 1, window, window),
            0);
  std::vector<uint8_t> all((size_t)window * window * 3);
  for (int y = 0; y < window; ++y)
    EXPECT_EQ(NCScbmReadViewLineRGB(view, &all[(size_t)y * window * 3]), 0);
  NCScbmCloseFileView(view);
  return all;
}

// One band of the image at `window` pixels, as GDAL reads it (averaged for a
// reduction), as doubles.
std::vector<double> Band(const std::string &path, int band, int window) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = window == kSize ? GRIORA_NearestNeighbour : GRIORA_Average;
  std::vector<double> values((size_t)window * window);
  EXPECT_EQ(GDALRasterIOEx(GDALGetRasterBand(ds, band), GF_Read, 0, 0, kSize, kSize,
                           values.data(), window, window, GDT_Float64, 0, 0, &extra),
            CE_None);
  GDALClose(ds);
  return values;
}

double Gradient(int x, int y) { return (x * 3 + y * 2) % 200 + 20; }

}  // namespace

TEST(RgbForm, BandsLabelledRedGreenBlueAreTakenByTheirLabels) {
  Pattern red = [](int x, int) { return x * 4.0; };
  Pattern green = [](int, int y) { return y * 4.0; };
  Pattern blue = [](int x, int y) { return (x + y) * 2.0; };
  struct Case {
    std::string name;
    std::vector<Pattern> values;
    std::vector<GDALColorInterp> colours;
    std::vector<int> want;  // the GDAL bands delivered as R, G, B
  } cases[] = {
      {"bgr.tif", {blue, green, red}, {GCI_BlueBand, GCI_GreenBand, GCI_RedBand}, {3, 2, 1}},
      {"gbra.tif", {green, blue, red, red}, {GCI_GreenBand, GCI_BlueBand, GCI_RedBand, GCI_Undefined},
       {3, 1, 2}},
      {"rgb.tif", {red, green, blue}, {GCI_RedBand, GCI_GreenBand, GCI_BlueBand}, {1, 2, 3}},
      // Without all three labels, the first three bands in order.
      {"partial.tif", {blue, green, red}, {GCI_BlueBand, GCI_Undefined, GCI_Undefined}, {1, 2, 3}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bands b;
    b.values = c.values;
    b.colours = c.colours;
    b.overviews = true;
    std::string path = MakeImage(c.name, b);
    for (int window : {kSize, kSize / 4}) {
      std::vector<uint8_t> got = View(path, window);
      for (int k = 0; k < 3; ++k) {
        std::vector<double> want = Band(path, c.want[k], window);
        for (size_t p = 0; p < want.size(); ++p)
          ASSERT_NEAR(got[3 * p + k], want[p], window == kSize ? 0 : 1) << "channel " << k << " pixel " << p;
      }
    }
  }
}

TEST(RgbForm, TransparentAndNodataPixelsAreBlack) {
  // Alpha 0 on the left quarter, half transparent in the next, opaque beyond.
  Pattern alpha = [](int x, int) { return x < 16 ? 0.0 : x < 32 ? 128.0 : 255.0; };
  Bands rgba;
  rgba.values = {Gradient, Gradient, Gradient, alpha};
  rgba.colours = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
  rgba.overviews = true;
  std::string rgbaPath = MakeImage("rgba.tif", rgba);

  Bands grey;
  grey.values = {[](int x, int y) { return (x + y) % 9 == 0 ? 7.0 : Gradient(x, y); }};
  grey.hasNodata = true;
  grey.nodata = 7;
  std::string greyPath = MakeImage("nodata.tif", grey);

  for (int window : {kSize, kSize / 4}) {
    SCOPED_TRACE(window);
    std::vector<uint8_t> got = View(rgbaPath, window);
    std::vector<double> red = Band(rgbaPath, 1, window), a = Band(rgbaPath, 4, window);
    for (size_t p = 0; p < a.size(); ++p) {
      if (a[p] == 0) {
        ASSERT_EQ(got[3 * p] + got[3 * p + 1] + got[3 * p + 2], 0) << "pixel " << p;
      } else {
        ASSERT_NEAR(got[3 * p], red[p], window == kSize ? 0 : 1) << "pixel " << p;
      }
    }
  }
  std::vector<uint8_t> got = View(greyPath, kSize);
  std::vector<double> want = Band(greyPath, 1, kSize);
  for (size_t p = 0; p < want.size(); ++p)
    ASSERT_EQ(got[3 * p], want[p] == 7 ? 0 : want[p]) << "pixel " << p;
}

TEST(RgbForm, AStretchedImageWithNodataKeepsItsValidPixelsOffBlack) {
  // A DEM: nodata -9999 over a third of it, land from 0 up.
  Bands dem;
  dem.type = GDT_Float32;
  dem.values = {[](int x, int y) { return y < 20 ? -9999.0 : (double)(x * y); }};
  dem.hasNodata = true;
  dem.nodata = -9999;
  std::string path = MakeImage("dem.tif", dem);
  Bands wide = dem;
  wide.type = GDT_Int16;
  std::string path16 = MakeImage("dem16.tif", wide);
  for (const std::string &p : {path, path16}) {
    SCOPED_TRACE(p);
    std::vector<uint8_t> got = View(p, kSize);
    int highest = 0;
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) {
        const uint8_t *px = &got[3 * ((size_t)y * kSize + x)];
        if (y < 20) {
          ASSERT_EQ(px[0] + px[1] + px[2], 0) << x << "," << y;
        } else {
          ASSERT_GE(px[0], 1) << "valid land is never black: " << x << "," << y;
          highest = std::max<int>(highest, px[0]);
        }
      }
    // The stretch is over the land alone: nodata does not squeeze it.
    EXPECT_EQ(highest, 255);
    EXPECT_EQ(got[3 * (size_t)(40 * kSize)], 1) << "the lowest land is the darkest grey short of black";
  }
}
