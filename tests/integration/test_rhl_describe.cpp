// What info shows beyond the module's record (blocks, compression,
// overviews, band descriptions, ground control points and their CRS), its
// JSON for scripts whatever fails, and the ground control points a render
// keeps.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "gdal.h"
#include "ogr_srs_api.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlDescribe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A 4-band 16-bit scene, its fourth band described, tiled, compressed,
    // with overviews.
    Fixture scene;
    scene.bands = 4;
    scene.type = GDT_UInt16;
    std::string raw = Make("scene-raw.tif", scene);
    scene_ = Scratch("scene.tif");
    Translate(raw, scene_, {"-co", "COMPRESS=DEFLATE", "-co", "TILED=YES", "-co", "BLOCKXSIZE=32",
                            "-co", "BLOCKYSIZE=16", "-colorinterp", "red,green,blue,undefined"});
    GDALDatasetH ds = GDALOpen(scene_.c_str(), GA_Update);
    GDALSetDescription(GDALGetRasterBand(ds, 4), "NIR");
    int levels[] = {2, 4};
    if (GDALBuildOverviews(ds, "AVERAGE", 2, levels, 0, nullptr, nullptr, nullptr) != CE_None)
      FAIL() << "cannot build overviews";
    GDALClose(ds);

    Fixture plain;
    plain.width = 40;
    plain.height = 30;
    plain_ = Scratch("striped.tif");
    Translate(Make("striped-raw.tif", plain), plain_, {"-co", "TILED=NO", "-co", "BLOCKYSIZE=5"});

    // Placed by ground control points alone.
    Fixture f;
    f.width = 80;
    f.height = 60;
    f.georeferenced = false;
    gcps_ = Make("placed.tif", f);
    SetGcps(gcps_, {{0, 0, 16, 48, 0}, {80, 0, 17, 48, 0}, {0, 60, 16, 47, 0}, {40, 30, 16.5, 47.5, 120}},
            4326);
  }
  static std::string scene_, plain_, gcps_;
};
std::string RhlDescribe::scene_, RhlDescribe::plain_, RhlDescribe::gcps_;

bool Has(const std::string &text, const std::string &line) {
  return text.find(line) != std::string::npos;
}

struct GcpSet {
  std::vector<std::array<double, 5>> points;  // pixel, line, x, y, z
  std::string authority;
};

GcpSet GcpsOf(const std::string &path) {
  GcpSet set;
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return set;
  const GDAL_GCP *p = GDALGetGCPs(ds);
  for (int i = 0; i < GDALGetGCPCount(ds); ++i)
    set.points.push_back({p[i].dfGCPPixel, p[i].dfGCPLine, p[i].dfGCPX, p[i].dfGCPY, p[i].dfGCPZ});
  OGRSpatialReferenceH srs = GDALGetGCPSpatialRef(ds);
  if (srs != nullptr && OSRGetAuthorityCode(srs, nullptr) != nullptr)
    set.authority = std::string(OSRGetAuthorityName(srs, nullptr)) + ":" + OSRGetAuthorityCode(srs, nullptr);
  GDALClose(ds);
  return set;
}

}  // namespace

TEST_F(RhlDescribe, InfoTellsBlocksCompressionOverviewsAndBandDescriptions) {
  struct Case {
    std::string *file;
    std::vector<std::string> lines;
  } cases[] = {
      {&scene_,
       {"bands:         4: UInt16 red, UInt16 green, UInt16 blue, UInt16 undefined \"NIR\"\n",
        "blocks:        32 x 16\n", "compression:   DEFLATE\n",
        "overviews:     2: 32 x 24, 16 x 12\n"}},
      {&plain_,
       {"bands:         3: Byte undefined, Byte undefined, Byte undefined\n", "blocks:        40 x 5\n",
        "compression:   none\n", "overviews:     none\n"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(*c.file);
    Outcome r = Rhl("info " + *c.file);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string &line : c.lines) EXPECT_TRUE(Has(r.out, line)) << line << "in\n" << r.out;
  }
  nlohmann::json j = nlohmann::json::parse(Rhl("info --json " + scene_).out);
  EXPECT_EQ(j["compression"], "DEFLATE");
  EXPECT_EQ(j["bands"][3]["description"], "NIR");
  EXPECT_TRUE(j["bands"][0]["description"].is_null());
  EXPECT_EQ(j["bands"][0]["block"], nlohmann::json::parse("[32, 16]"));
  EXPECT_EQ(j["bands"][0]["overviews"], nlohmann::json::parse("[[32, 24], [16, 12]]"));
  nlohmann::json p = nlohmann::json::parse(Rhl("info --json " + plain_).out);
  EXPECT_TRUE(p["compression"].is_null());
  EXPECT_EQ(p["bands"][2]["overviews"], nlohmann::json::array());
}

TEST_F(RhlDescribe, InfoListsGroundControlPointsAndTheirCrs) {
  Outcome r = Rhl("info " + gcps_);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char *line :
       {"crs:           WGS 84 (EPSG:4326), of the ground control points\n",
        "georeferenced: no: 4 ground control points only, which the module does not use",
        "gcp 1:         pixel (0, 0) -> world (16, 48)\n",
        "gcp 2:         pixel (80, 0) -> world (17, 48)\n",
        "gcp 4:         pixel (40, 30) -> world (16.5, 47.5, 120)\n"})
    EXPECT_TRUE(Has(r.out, line)) << line << "in\n" << r.out;
  nlohmann::json j = nlohmann::json::parse(Rhl("info --json " + gcps_).out);
  EXPECT_TRUE(j["crs"].is_null()) << "the image has no CRS of its own";
  EXPECT_EQ(j["gcps"]["crs"]["authority"], "EPSG:4326");
  ASSERT_EQ(j["gcps"]["points"].size(), 4u);
  EXPECT_EQ(j["gcps"]["points"][3]["pixel"], nlohmann::json::parse("[40.0, 30.0]"));
  EXPECT_EQ(j["gcps"]["points"][3]["world"], nlohmann::json::parse("[16.5, 47.5, 120.0]"));
  EXPECT_EQ(j["gcps"]["points"][0]["id"], "1");
  EXPECT_TRUE(nlohmann::json::parse(Rhl("info --json " + plain_).out)["gcps"].is_null());
}

TEST_F(RhlDescribe, ARenderKeepsGroundControlPointsAsGdalTranslateDoes) {
  struct Case {
    std::string rhl, gdal, out;
  } cases[] = {
      {"", "", "gcp-whole.tif"},
      {"--srcwin 10 20 40 30", "-srcwin 10 20 40 30", "gcp-window.tif"},
      {"--srcwin 10 20 40 30 --outsize 20 15", "-srcwin 10 20 40 30 -outsize 20 15", "gcp-small.png"},
      {"--size 40x0", "-outsize 40 0", "gcp-half.jpg"},
      {"--srcwin -20 -10 100 80", "-srcwin -20 -10 100 80", "gcp-outside.tif"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rhl);
    Outcome r = Rhl("render " + gcps_ + " -o " + c.out + " -q " + c.rhl);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string oracle = Scratch("gdal-" + c.out + ".tif");
    std::vector<std::string> args;
    for (size_t at = 0; at < c.gdal.size();) {
      size_t space = c.gdal.find(' ', at);
      args.push_back(c.gdal.substr(at, space - at));
      at = space == std::string::npos ? c.gdal.size() : space + 1;
    }
    Translate(gcps_, oracle, args);
    GcpSet got = GcpsOf(Scratch(c.out)), want = GcpsOf(oracle);
    EXPECT_EQ(got.authority, "EPSG:4326");
    ASSERT_EQ(got.points.size(), 4u);
    ASSERT_EQ(got.points.size(), want.points.size());
    for (size_t i = 0; i < got.points.size(); ++i)
      for (int k = 0; k < 5; ++k) EXPECT_DOUBLE_EQ(got.points[i][k], want.points[i][k]) << i << "," << k;
  }
  // An assigned CRS is the points'.
  ASSERT_EQ(Rhl("render " + gcps_ + " -o gcp-assigned.tif --a_srs EPSG:4258").status, 0);
  EXPECT_EQ(GcpsOf(Scratch("gcp-assigned.tif")).authority, "EPSG:4258");
}

TEST_F(RhlDescribe, JsonHasAnEntryForEveryFileInOrderAndAlwaysParses) {
  std::string missing = Scratch("missing.url");
  std::string text = Scratch("notes.txt");
  std::ofstream(text) << "text\n";
  Outcome r = Rhl("info --json " + missing + " " + plain_ + " " + text);
  EXPECT_EQ(r.status, 1);
  nlohmann::json all = nlohmann::json::parse(r.out);
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["file"], missing);
  EXPECT_EQ(all[0]["error"], "ECW.RHL: ReadUrlFromFile: url file '" + missing +
                                 "' does not exist (No such file or directory)\ncould not open '" +
                                 missing + "'");
  EXPECT_EQ(all[1]["file"], plain_);
  EXPECT_EQ(all[1].count("error"), 0u);
  EXPECT_EQ(all[1]["width"], 40);
  EXPECT_EQ(all[2]["file"], text);
  EXPECT_EQ(all[2]["error"].get<std::string>().rfind("the module does not serve '" + text + "'", 0), 0u);
  // What went wrong is still said on standard error, for a person.
  EXPECT_TRUE(Has(r.err, "rhl: could not open '" + missing + "'\n")) << r.err;

  // One failing file: one object, with its error.
  Outcome one = Rhl("info --json " + missing);
  EXPECT_EQ(one.status, 1);
  nlohmann::json single = nlohmann::json::parse(one.out);
  EXPECT_TRUE(single.is_object());
  EXPECT_EQ(single["file"], missing);
  EXPECT_TRUE(single["error"].is_string());

  // A module that cannot be loaded: every file gets the reason.
  Outcome unloadable = Rhl("info --json " + plain_ + " " + plain_ + " --module " + Scratch("none.RHL"));
  EXPECT_EQ(unloadable.status, 1);
  nlohmann::json both = nlohmann::json::parse(unloadable.out);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0]["error"], both[1]["error"]);
  EXPECT_NE(both[1]["error"].get<std::string>().find("none.RHL"), std::string::npos) << both;
}
