// render's outputs as GDAL and QGIS read them: the format gdal_translate
// would choose, the source's CRS and geotransform kept, world files named as
// GDAL looks for them, creation options and nodata passed through, and
// nothing half written.
#include <math.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cpl_string.h"
#include "fixtures.h"
#include "gdal.h"
#include "ogr_srs_api.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlOutput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture f;
    f.width = 120;
    f.height = 90;
    utm_ = Make("out-utm.tif", f);
    Decorate(utm_, "EPSG:32633", nullptr, {"Red", "Green", "Blue"});
    Fixture plain = f;
    plain.georeferenced = false;
    plain_ = Make("out-plain.tif", plain);
  }
  static std::string utm_, plain_;
};
std::string RhlOutput::utm_, RhlOutput::plain_;

struct Written {
  bool opened = false;
  std::string driver, authority, compression;
  bool hasGeo = false;
  double gt[6] = {0};
  int blockWidth = 0;
  bool hasNodata = false;
  double nodata = 0;
};

Written Open(const std::string &path) {
  Written w;
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return w;
  w.opened = true;
  w.driver = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
  OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
  if (srs != nullptr && OSRGetAuthorityCode(srs, nullptr) != nullptr)
    w.authority = std::string(OSRGetAuthorityName(srs, nullptr)) + ":" +
                  OSRGetAuthorityCode(srs, nullptr);
  w.hasGeo = GDALGetGeoTransform(ds, w.gt) == CE_None;
  const char *c = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
  w.compression = c ? c : "";
  int bh = 0;
  GDALGetBlockSize(GDALGetRasterBand(ds, 1), &w.blockWidth, &bh);
  int has = 0;
  w.nodata = GDALGetRasterNoDataValue(GDALGetRasterBand(ds, 1), &has);
  w.hasNodata = has != 0;
  GDALClose(ds);
  return w;
}

// No hidden file of rhl's left in the scratch folder.
bool NothingAside() { return FilesStartingWith(".").size() <= 2; }  // "." and ".."

}  // namespace

TEST_F(RhlOutput, FormatFollowsTheExtensionAsGdalTranslateChoosesIt) {
  struct Case {
    std::string name, driver, world;  // world: the world file's name, or ""
  } cases[] = {
      {"f.tif", "GTiff", ""},       {"f.tiff", "GTiff", ""},     {"f", "GTiff", ""},
      {"f.png", "PNG", "f.pgw"},    {"e.PNG", "PNG", "e.PGW"},   {"e.jpg", "JPEG", "e.jgw"},
      {"g.jpeg", "JPEG", "g.jgw"},  {"e.webp", "WEBP", ""},      {"f.jp2", "JP2OpenJPEG", ""},
      {"f.bmp", "BMP", "f.bpw"},    {"f.img", "HFA", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome r = Rhl("render " + utm_ + " -o " + c.name);
    ASSERT_EQ(r.status, 0) << r.err;
    Written w = Open(Scratch(c.name));
    ASSERT_TRUE(w.opened);
    EXPECT_EQ(w.driver, c.driver);
    // Georeferencing and CRS kept, whichever way the format holds them.
    EXPECT_EQ(w.authority, "EPSG:32633");
    ASSERT_TRUE(w.hasGeo);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(w.gt[i], kGeo[i]) << i;
    if (!c.world.empty()) {
      EXPECT_TRUE(Exists(Scratch(c.world)));
      std::istringstream world(Slurp(Scratch(c.world)));
      double a, d, b, e, x, y;
      world >> a >> d >> b >> e >> x >> y;
      EXPECT_EQ(a, kGeo[1]);
      EXPECT_EQ(e, kGeo[5]);
      EXPECT_EQ(x, kGeo[0] + 0.5 * kGeo[1]) << "the first pixel's centre";
      EXPECT_EQ(y, kGeo[3] + 0.5 * kGeo[5]);
    }
  }
  // e.jpg, e.webp and e.PNG each have their own companions.
  EXPECT_TRUE(Exists(Scratch("e.jgw")));
  EXPECT_TRUE(Exists(Scratch("e.PGW")));
  EXPECT_FALSE(Exists(Scratch("e.pgw")));
  EXPECT_TRUE(Exists(Scratch("e.webp.aux.xml")));
  EXPECT_FALSE(Exists(Scratch("f.tif.aux.xml"))) << "a GeoTIFF holds its own";
  EXPECT_TRUE(NothingAside());
}

TEST_F(RhlOutput, FormatByNameAndUnknownExtensionsRefused) {
  Outcome named = Rhl("render " + utm_ + " -o named.dat -of PNG");
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(Open(Scratch("named.dat")).driver, "PNG");
  EXPECT_TRUE(Exists(Scratch("named.dtw"))) << "the world file GDAL derives from .dat";
  Outcome bare = Rhl("render " + utm_ + " -o bare -of PNG");
  ASSERT_EQ(bare.status, 0) << bare.err;
  EXPECT_TRUE(Exists(Scratch("bare.wld")));

  struct Case {
    std::string args, err;
  } cases[] = {
      {"-o x.zzq", "cannot tell a format from the extension of 'x.zzq': name one with -of "
                   "(GTiff, PNG, JPEG, ...)"},
      {"-o x.vrt", "rhl cannot write VRT: it holds no pixels of its own in a file (write .tif)"},
      {"-o x.png -of NoSuchDriver", "-of NoSuchDriver: GDAL has no driver of that name"},
      {"-o x.png -of DERIVED", "-of DERIVED: GDAL's DERIVED driver cannot write images"},
      {"-o x.tif -co COMPRESS", "-co takes NAME=VALUE, not 'COMPRESS'"},
      {"-o x.tif --a_srs EPSG:99999999",
       "--a_srs takes a CRS GDAL knows (EPSG:4326, WKT, PROJ text), not 'EPSG:99999999'"},
      {"-o x.tif --a_nodata 256", "--a_nodata takes whole numbers from 0 to 255, not '256'"},
      {"-o x.tif --a_nodata none", "--a_nodata takes whole numbers from 0 to 255, not 'none'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + utm_ + " " + c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rhl: " + c.err + "\nRun with --help for more information.\n");
    EXPECT_TRUE(FilesStartingWith("x.").empty());
  }
}

TEST_F(RhlOutput, CreationOptionsPassThrough) {
  struct Case {
    std::string args, compression;
    int blockWidth;
  } cases[] = {
      {"", "DEFLATE", 256},
      {"-co COMPRESS=NONE", "", 256},
      {"-co COMPRESS=LZW -co PREDICTOR=2", "LZW", 256},
      {"--co TILED=NO -co COMPRESS=NONE", "", 120},
      {"-co BLOCKXSIZE=64 -co BLOCKYSIZE=64", "DEFLATE", 64},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + utm_ + " -o co.tif " + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Written w = Open(Scratch("co.tif"));
    EXPECT_EQ(w.compression, c.compression);
    EXPECT_EQ(w.blockWidth, c.blockWidth);
  }
  Outcome jpeg = Rhl("render " + utm_ + " -o q.jpg -co QUALITY=95");
  EXPECT_EQ(jpeg.status, 0) << jpeg.err;
  EXPECT_EQ(jpeg.err, "");
  // GDAL's own warning for an option the driver lacks, once.
  Outcome odd = Rhl("render " + utm_ + " -o odd.png -co NO_SUCH_OPTION=1");
  EXPECT_EQ(odd.status, 0) << odd.err;
  EXPECT_EQ(odd.err.rfind("rhl: GDAL: ", 0), 0u) << odd.err;
  EXPECT_EQ(std::count(odd.err.begin(), odd.err.end(), '\n'), 1) << odd.err;
}

TEST_F(RhlOutput, CrsAssignedOrNoneAndNoStaleCompanions) {
  Outcome assigned = Rhl("render " + utm_ + " -o srs.png --a_srs EPSG:4326");
  ASSERT_EQ(assigned.status, 0) << assigned.err;
  EXPECT_EQ(Open(Scratch("srs.png")).authority, "EPSG:4326");
  Outcome tiff = Rhl("render " + plain_ + " -o srs.tif -a_srs EPSG:3857");
  ASSERT_EQ(tiff.status, 0) << tiff.err;
  EXPECT_EQ(Open(Scratch("srs.tif")).authority, "EPSG:3857");

  // An image without georeferencing gives an output without any, and what
  // an earlier output left beside the name goes with it.
  Outcome plain = Rhl("render " + plain_ + " -o srs.png");
  ASSERT_EQ(plain.status, 0) << plain.err;
  Written w = Open(Scratch("srs.png"));
  EXPECT_FALSE(w.hasGeo);
  EXPECT_EQ(w.authority, "");
  EXPECT_FALSE(Exists(Scratch("srs.pgw")));
  EXPECT_FALSE(Exists(Scratch("srs.png.aux.xml")));
  Outcome plainTiff = Rhl("render " + plain_ + " -o plain.tif --size 60x0");
  ASSERT_EQ(plainTiff.status, 0) << plainTiff.err;
  EXPECT_FALSE(Open(Scratch("plain.tif")).hasGeo) << "not (0, 2, 0, 0, 0, 2)";
}

TEST_F(RhlOutput, NodataMarkedAsGdalTranslateMarksIt) {
  for (const char *name : {"nd.png", "nd.tif", "nd.jpg"}) {
    SCOPED_TRACE(name);
    Outcome r = Rhl("render " + utm_ + " -o " + std::string(name) + " --a_nodata 7");
    ASSERT_EQ(r.status, 0) << r.err;
    Written w = Open(Scratch(name));
    EXPECT_TRUE(w.hasNodata);
    EXPECT_EQ(w.nodata, 7.0);
  }
  // PNG's transparency chunk, which any PNG reader honours.
  std::string png = Slurp(Scratch("nd.png"));
  EXPECT_NE(png.find("tRNS"), std::string::npos);
  EXPECT_FALSE(Open(utm_).hasNodata) << "the source is untouched";
}

TEST_F(RhlOutput, AFailedRenderLeavesNothingAtTheOutput) {
  // A GeoTIFF cut off half way: its second half cannot be read.
  Fixture f;
  f.width = 200;
  f.height = 200;
  std::string cut = Make("cut.tif", f);
  ASSERT_EQ(truncate(cut.c_str(), 200 * 200 * 3 / 2), 0);
  for (const char *name : {"half.png", "half.tif", "half.jpg"}) {
    SCOPED_TRACE(name);
    Outcome r = Rhl("render " + cut + " -o " + std::string(name));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(Scratch(name))) << r.err;
    EXPECT_TRUE(FilesStartingWith("half").empty());
    EXPECT_TRUE(NothingAside());
    EXPECT_NE(r.err.find("ECW.RHL: Error reading line from ECW file\n"), std::string::npos)
        << r.err;
  }
  // An earlier output stays as it was.
  ASSERT_EQ(Rhl("render " + utm_ + " -o kept.png").status, 0);
  std::string before = Slurp(Scratch("kept.png")), world = Slurp(Scratch("kept.pgw"));
  EXPECT_EQ(Rhl("render " + cut + " -o kept.png").status, 1);
  EXPECT_EQ(Slurp(Scratch("kept.png")), before);
  EXPECT_EQ(Slurp(Scratch("kept.pgw")), world);
  EXPECT_TRUE(NothingAside());
}

TEST_F(RhlOutput, TheOutputIsNeverTheSourceImage) {
  std::string copy = Scratch("self.tif");
  ASSERT_EQ(system(("cp " + utm_ + " " + copy).c_str()), 0);
  std::string link = Link("self.url", copy);
  std::string before = Slurp(copy);
  for (const char *args : {"self.tif -o self.tif", "self.url -o self.tif",
                                  "self.url -o ./self.tif", "self.url -o self.url -of GTiff"}) {
    SCOPED_TRACE(args);
    Outcome r = Rhl(std::string("render ") + args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is the image being rendered; name another"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Slurp(copy), before);
  EXPECT_EQ(Slurp(link), copy + "\n");
}

TEST_F(RhlOutput, AnInterruptedRenderLeavesNothing) {
  // Far too long to finish before the signal: 600 million pixels of nothing.
  std::string link = Link("big.url", EmptyVrt("big.vrt", 30000, 20000));
  for (const char *signal : {"INT", "TERM"}) {
    SCOPED_TRACE(signal);
    std::string cmd = "cd '" + TempDir() + "' && (" + RHL_EXE + " render " + link +
                      " -o big.png -q & p=$!; sleep 1; kill -" + signal +
                      " $p; wait $p; echo $? >big.status)";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(Slurp(Scratch("big.status")), std::string(signal) == "INT" ? "130\n" : "143\n");
    EXPECT_FALSE(Exists(Scratch("big.png")));
    EXPECT_TRUE(NothingAside());
  }
}
