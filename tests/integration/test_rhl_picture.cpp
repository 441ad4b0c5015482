// What a render writes is the module's RGB picture: said so for a source
// that is not 8-bit grey or RGB, and marked so in a GeoTIFF; formats GDAL
// writes only as a copy (COG, JPEG 2000) written whole, through a GeoTIFF.
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cpl_string.h"
#include "fixtures.h"
#include "gdal.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

// The PhotometricInterpretation tag (262) of a classic little-endian TIFF's
// first directory, or -1.
int Photometric(const std::string &path) {
  std::string b = Slurp(path);
  auto u16 = [&](size_t at) { return at + 2 <= b.size() ? (unsigned char)b[at] | (unsigned char)b[at + 1] << 8 : 0; };
  auto u32 = [&](size_t at) { return (size_t)u16(at) | (size_t)u16(at + 2) << 16; };
  if (b.compare(0, 2, "II") != 0 || u16(2) != 42) return -1;
  size_t ifd = u32(4);
  for (int i = 0, n = u16(ifd); i < n; ++i)
    if (u16(ifd + 2 + 12 * i) == 262) return u16(ifd + 2 + 12 * i + 8);
  return -1;
}

std::string Item(const std::string &path, const char *name, const char *domain = nullptr) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return "(cannot open)";
  const char *value = GDALGetMetadataItem(ds, name, domain);
  std::string text = value != nullptr ? value : "";
  GDALClose(ds);
  return text;
}

bool NothingAside() { return FilesStartingWith(".").size() <= 2; }  // "." and ".."

}  // namespace

TEST(RhlPicture, ASourceThatIsNotAPictureIsSaidToBeOneAndTheGeoTiffSaysSo) {
  auto fixture = [](int bands, GDALDataType type, bool paletted) {
    Fixture f;
    f.width = 40;
    f.height = 30;
    f.bands = bands;
    f.type = type;
    f.paletted = paletted;
    return f;
  };
  struct Case {
    std::string name;
    Fixture fixture;
    std::string holds;  // "" for a plain picture
  } cases[] = {
      {"pic-rgb.tif", fixture(3, GDT_Byte, false), ""},
      {"pic-grey.tif", fixture(1, GDT_Byte, false), ""},
      {"pic-dem.tif", fixture(1, GDT_Float32, false), "1 band of Float32"},
      {"pic-scene.tif", fixture(4, GDT_UInt16, false), "4 bands of UInt16"},
      {"pic-int16.tif", fixture(3, GDT_Int16, false), "3 bands of Int16"},
      {"pic-land.tif", fixture(1, GDT_Byte, true), "1 band of Byte with a palette"},
      {"pic-two.tif", fixture(2, GDT_Byte, false), "2 bands of Byte"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string source = Make(c.name, c.fixture);
    Outcome r = Rhl("render " + source + " -o pic-out.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.holds.empty() ? ""
                                     : "rhl: note: '" + source + "' holds " + c.holds +
                                           ", not 8-bit grey or RGB: the output is the module's "
                                           "RGB display picture of it, 3 bands of Byte "
                                           "(gdal_translate keeps the source's bands and "
                                           "values)\n");
    EXPECT_EQ(Rhl("render " + source + " -o pic-out.tif -q").err, "") << "-q keeps notes back";
    const std::string out = Scratch("pic-out.tif");
    EXPECT_EQ(Photometric(out), 2) << "PHOTOMETRIC=RGB";
    EXPECT_EQ(Item(out, "TIFFTAG_IMAGEDESCRIPTION"),
              "RGB picture of '" + c.name + "' made through the raster handler module ECW.RHL by rhl" +
                  (c.holds.empty() ? "" : ": the module's display picture of its " + c.holds + ", not their values"));
    int w, h, bands;
    Pixels(out, &w, &h, &bands);
    EXPECT_EQ(bands, 3);
  }
  // Only a GeoTIFF holds the description, not a PNG's .aux.xml.
  ASSERT_EQ(Rhl("render " + Scratch("pic-dem.tif") + " -o pic-out.png -q").status, 0);
  EXPECT_EQ(Slurp(Scratch("pic-out.png.aux.xml")).find("TIFFTAG"), std::string::npos);
  EXPECT_TRUE(NothingAside());
}

TEST(RhlPicture, CopyOnlyFormatsAreWrittenWholeThroughAGeoTiff) {
  Fixture f;
  f.width = 1200;
  f.height = 900;
  std::string source = Make("cog-src.tif", f);
  Decorate(source, "EPSG:32633", nullptr, {"Red", "Green", "Blue"});
  ASSERT_EQ(Rhl("render " + source + " -o cog-ref.tif").status, 0);
  int w, h, b;
  std::vector<unsigned char> reference = Pixels(Scratch("cog-ref.tif"), &w, &h, &b);

  struct Case {
    std::string args, out, driver, compression;
  } cases[] = {
      {"-of COG", "cog.tif", "GTiff", "LZW"},
      {"-of COG -co COMPRESS=DEFLATE -co BLOCKSIZE=256", "cog2.tif", "GTiff", "DEFLATE"},
      {"-co REVERSIBLE=YES -co QUALITY=100", "cog.jp2", "JP2OpenJPEG", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + source + " -o " + c.out + " " + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string out = Scratch(c.out);
    int w2, h2, b2;
    EXPECT_EQ(Pixels(out, &w2, &h2, &b2), reference) << "every line, in its place";
    GDALDatasetH ds = GDALOpen(out.c_str(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(GDALGetDriverShortName(GDALGetDatasetDriver(ds)), c.driver);
    double gt[6];
    ASSERT_EQ(GDALGetGeoTransform(ds, gt), CE_None);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(gt[i], kGeo[i]);
    EXPECT_NE(GDALGetSpatialRef(ds), nullptr);
    if (c.driver == "GTiff") {
      EXPECT_STREQ(GDALGetMetadataItem(ds, "LAYOUT", "IMAGE_STRUCTURE"), "COG");
      EXPECT_STREQ(GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE"), c.compression.c_str())
          << "-co passed on";
      EXPECT_GE(GDALGetOverviewCount(GDALGetRasterBand(ds, 1)), 1);
      EXPECT_EQ(Photometric(out), 2);
      EXPECT_NE(Item(out, "TIFFTAG_IMAGEDESCRIPTION").find("through the raster handler module"),
                std::string::npos);
    }
    GDALClose(ds);
  }
  // GDAL's own check of a cloud-optimised GeoTIFF, where its Python tools are.
  const std::string validate =
      "/usr/bin/python3 -c 'import osgeo_utils.samples.validate_cloud_optimized_geotiff' "
      "2>/dev/null";
  if (system(validate.c_str()) == 0) {
    for (const char *out : {"cog.tif", "cog2.tif"}) {
      std::string cmd = "/usr/bin/python3 -m osgeo_utils.samples.validate_cloud_optimized_geotiff "
                        "--full-check=yes '" + Scratch(out) + "' >" + Scratch("validate.txt") + " 2>&1";
      EXPECT_EQ(system(cmd.c_str()), 0) << Slurp(Scratch("validate.txt"));
    }
  } else {
    fprintf(stderr, "note: GDAL's Python tools are not installed; COG checked by LAYOUT=COG only\n");
  }
  EXPECT_TRUE(NothingAside()) << "the temporary GeoTIFF goes";

  // A copy that fails leaves nothing, and names the output, not a temporary.
  Outcome bad = Rhl("render " + source + " -o cogbad.tif -of COG -co TILING_SCHEME=NoSuch");
  EXPECT_EQ(bad.status, 1);
  EXPECT_FALSE(Exists(Scratch("cogbad.tif")));
  EXPECT_EQ(bad.err.find(".rhl-"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.err, "rhl: Invalid tiling matrix set name; nothing was written to cogbad.tif\n");
  EXPECT_TRUE(NothingAside());
}
