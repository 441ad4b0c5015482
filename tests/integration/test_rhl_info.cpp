// rhl info as a GIS user reads it, any name GDAL reads, and rhl's messages:
// each said once, by whoever says it.
#include <stdlib.h>
#include <unistd.h>

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

class RhlInfo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture utm;
    utm.width = 40;
    utm.height = 30;
    utm_ = Make("utm.tif", utm);
    Decorate(utm_, "EPSG:32633", nullptr, {"Red", "Green", "Blue"});

    Fixture dem;
    dem.bands = 1;
    dem.type = GDT_Float32;
    dem.geo = {10.0, 0.1, 0.0, 50.0, 0.0, -0.1};
    dem_ = Make("dem.tif", dem);
    double nodata = -9999;
    Decorate(dem_, "EPSG:4326", &nodata);

    Fixture plain;
    plain.georeferenced = false;
    plain_ = Make("plain.tif", plain);

    gcps_ = Make("gcps.tif", plain);
    SetGcps(gcps_, {{0, 0, 16, 48, 0}, {64, 0, 17, 48, 0}, {0, 48, 16, 47, 0}}, 4326);
  }
  static std::string utm_, dem_, plain_, gcps_;
};
std::string RhlInfo::utm_, RhlInfo::dem_, RhlInfo::plain_, RhlInfo::gcps_;

bool Has(const std::string &text, const std::string &line) {
  return text.find(line) != std::string::npos;
}

// A file that begins as a Windows DLL does: "MZ", and "PE" with the machine
// at the offset its header gives.
std::string WindowsDll(const std::string &name, unsigned machine) {
  std::string path = TempDir() + "/" + name;
  std::string bytes(0x80, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3c] = 0x40;
  bytes.replace(0x40, 4, std::string("PE\0\0", 4));
  bytes[0x44] = (char)(machine & 0xff);
  bytes[0x45] = (char)(machine >> 8);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace

TEST_F(RhlInfo, TellsTheCrsBandsNodataPixelSizeAndExtent) {
  struct Case {
    std::string *file;
    std::vector<std::string> lines;
  } cases[] = {
      {&utm_,
       {"size:          40 x 30\n", "driver:        GTiff",
        "bands:         3: Byte red, Byte green, Byte blue\n", "nodata:        none\n",
        "crs:           WGS 84 / UTM zone 33N (EPSG:32633)\n", "georeferenced: yes\n",
        "pixel size:    2.5, -2.5\n",
        "extent:        500000, 4200000, 500100, 4199925 (ulx, uly, lrx, lry)\n"}},
      // Numbers in the shortest form that reads back exactly: 0.1, not
      // 0.10000000000000001.
      {&dem_,
       {"bands:         1: Float32 gray\n", "nodata:        -9999\n",
        "crs:           WGS 84 (EPSG:4326)\n", "pixel size:    0.1, -0.1\n",
        "extent:        10, 50, 16.4, 45.2 (ulx, uly, lrx, lry)\n",
        "bottom-right:  pixel (64, 48) -> world (16.4, 45.2)\n"}},
      {&plain_,
       {"crs:           none\n",
        "georeferenced: no: the control points below are pixel corners, not world positions\n"}},
      {&gcps_,
       {"georeferenced: no: 3 ground control points only, which the module does not use"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(*c.file);
    Outcome r = Rhl("info " + *c.file);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string &line : c.lines) EXPECT_TRUE(Has(r.out, line)) << line << "in\n" << r.out;
    if (c.file == &plain_ || c.file == &gcps_) {
      EXPECT_FALSE(Has(r.out, "pixel size:")) << "no world units for an image without them";
    }
  }
}

TEST_F(RhlInfo, JsonCarriesTheSameFactsInTheSameShortestNumbers) {
  Outcome r = Rhl("info --json " + dem_);
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["crs"]["authority"], "EPSG:4326");
  EXPECT_EQ(j["crs"]["name"], "WGS 84");
  EXPECT_NE(j["crs"]["wkt"].get<std::string>().find("GEOGCRS"), std::string::npos);
  EXPECT_EQ(j["bands"].size(), 1u);
  EXPECT_EQ(j["bands"][0]["type"], "Float32");
  EXPECT_EQ(j["bands"][0]["nodata"], -9999.0);
  EXPECT_EQ(j["georeferenced"], true);
  EXPECT_EQ(j["pixel_size"][0], 0.1);
  EXPECT_EQ(j["extent"], nlohmann::json::parse("[10.0, 50.0, 16.4, 45.2]"));
  // The text and the JSON spell a number the same way.
  EXPECT_TRUE(Has(r.out, "16.4,")) << r.out;
  EXPECT_FALSE(Has(r.out, "16.39999")) << r.out;

  for (std::string *file : {&plain_, &gcps_}) {
    nlohmann::json n = nlohmann::json::parse(Rhl("info --json " + *file).out);
    EXPECT_EQ(n["georeferenced"], false) << *file;
    EXPECT_TRUE(n["geotransform"].is_null()) << *file;
    EXPECT_TRUE(n["crs"].is_null()) << *file;
    EXPECT_EQ(n["gcp_count"], file == &gcps_ ? 3 : 0);
  }
}

TEST_F(RhlInfo, SeveralFilesInOneCallAndOneFailureDoesNotStopTheRest) {
  std::string missing = TempDir() + "/missing.url";
  Outcome r = Rhl("info " + utm_ + " " + missing + " " + dem_);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "file:          " + utm_ + "\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "\n\nfile:          " + dem_ + "\n")) << r.out;
  EXPECT_TRUE(Has(r.err, "rhl: could not open '" + missing + "'\n")) << r.err;

  Outcome j = Rhl("info --json " + utm_ + " " + dem_);
  ASSERT_EQ(j.status, 0) << j.err;
  nlohmann::json all = nlohmann::json::parse(j.out);
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["file"], utm_);
  EXPECT_EQ(all[1]["crs"]["authority"], "EPSG:4326");
}

TEST_F(RhlInfo, AnyNameGdalReadsGoesThroughATemporaryLinkFile) {
  std::string tmp = TempDir() + "/links";
  ASSERT_EQ(system(("mkdir -p " + tmp).c_str()), 0);
  // A relative name, from the folder it is relative to.
  Outcome r = Rhl("info -v utm.tif", "", "TMPDIR=" + tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "resolved:      " + utm_ + "\n")) << "the link names the absolute path";
  EXPECT_TRUE(Has(r.err, "rhl: 'utm.tif' is not a name the module serves: it opens the link file " +
                             tmp + "/rhl-"))
      << r.err;
  EXPECT_TRUE(Has(r.err, ".url, which names '" + utm_ + "'\n")) << r.err;
  EXPECT_EQ(system(("test -z \"$(ls -A " + tmp + ")\"").c_str()), 0) << "the link is removed";

  Outcome quiet = Rhl("info utm.tif");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "") << "only -v says so";

  // GDAL's virtual names too, as they stand.
  ASSERT_EQ(system(("gzip -c " + utm_ + " >" + utm_ + ".gz").c_str()), 0);
  std::string gz = "/vsigzip/" + utm_ + ".gz";
  Outcome vsi = Rhl("info " + gz);
  EXPECT_EQ(vsi.status, 0) << vsi.err;
  EXPECT_TRUE(Has(vsi.out, "resolved:      " + gz + "\n")) << vsi.out;
}

TEST_F(RhlInfo, RelativeNamesInsideALinkFileResolveAgainstTheCurrentFolder) {
  Link("relative.url", "utm.tif");
  Outcome here = Rhl("info relative.url");
  EXPECT_EQ(here.status, 0) << here.err;
  EXPECT_TRUE(Has(here.out, "resolved:      utm.tif\n")) << here.out;
  Outcome elsewhere = Rhl("info " + TempDir() + "/relative.url", "/");
  EXPECT_EQ(elsewhere.status, 1);
  // rhl says where the library looked, and where the name is.
  EXPECT_EQ(elsewhere.err, "ECW.RHL: Error opening view into ECW file: 'utm.tif' (No such file or "
                           "directory)\nrhl: could not open '" +
                               TempDir() + "/relative.url'\nrhl: the name 'utm.tif' is relative: "
                               "the library took it against the folder rhl runs in, '/', not the "
                               "link file's, '" + TempDir() + "'; '" + TempDir() +
                               "/utm.tif' exists: write that whole path in the link\n");
}

TEST_F(RhlInfo, DoesNotServeOnlyForNamesTheModuleDoesNotServe) {
  std::string text = TempDir() + "/notes.txt";
  std::ofstream(text) << "not an image\n";
  std::string empty = Link("empty.url", "");
  std::ofstream(empty, std::ios::trunc).close();
  std::string dangling = Link("dangling.url", TempDir() + "/gone.tif");
  struct Case {
    std::string file, err;
  } cases[] = {
      {TempDir() + "/missing.url",
       "ECW.RHL: ReadUrlFromFile: url file '" + TempDir() +
           "/missing.url' does not exist (No such file or directory)\nrhl: could not open '" +
           TempDir() + "/missing.url'\n"},
      {empty, "ECW.RHL: ReadUrlFromFile: url file '" + empty + "' is empty\nrhl: could not open '" +
                  empty + "'\n"},
      {dangling, "ECW.RHL: Error opening view into ECW file: '" + TempDir() +
                     "/gone.tif' (No such file or directory)\nrhl: could not open '" + dangling +
                     "'\n"},
      {text, "rhl: the module does not serve '" + text + "', and GDAL cannot read it: "},
  };
  for (const Case &c : cases) {
    Outcome r = Rhl("info " + c.file);
    EXPECT_EQ(r.status, 1) << c.file;
    if (c.file == text)
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    else
      EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(Has(r.err, "Error: Error")) << r.err;
  }
}

TEST_F(RhlInfo, MessagesComeOnceEach) {
  // GDAL's own failure, once, in rhl's line; no blank line.
  for (const char *out : {"/no-such-folder/x.png", "/no-such-folder/x.tif"}) {
    Outcome r = Rhl("render " + utm_ + " -o " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("rhl: ", 0), 0u) << r.err;
    EXPECT_TRUE(Has(r.err, "No such file or directory")) << r.err;
  }
}

TEST_F(RhlInfo, CheckTellsAMissingFileAndAWindowsModuleApart) {
  std::string missing = TempDir() + "/nowhere/ECW.RHL";
  Outcome none = Rhl("check " + missing);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "FAIL loads: there is no module at '" + missing +
                          "' (No such file or directory)\nnothing checked: no module there\n");

  struct Case {
    unsigned machine;
    std::string kind;
  } cases[] = {{0x14c, "32-bit (PE32, i386)"}, {0x8664, "64-bit (PE32+, x86-64)"}};
  for (const Case &c : cases) {
    std::string dll = WindowsDll("win" + std::to_string(c.machine) + ".RHL", c.machine);
    Outcome r = Rhl("check " + dll);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("FAIL loads: '" + dll + "' is a " + c.kind + " Windows module; ", 0), 0u)
        << r.out;
    EXPECT_TRUE(Has(r.out, "\nnothing checked: not a module for this system\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "ELF")) << r.out;
    Outcome info = Rhl("info " + utm_ + " --module " + dll);
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.err.rfind("rhl: '" + dll + "' is a " + c.kind + " Windows module", 0), 0u)
        << info.err;
  }
}

TEST_F(RhlInfo, VersionNamesRhlAndGdal) {
  Outcome r = Rhl("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("rhl 1.", 0), 0u) << r.out;
  EXPECT_TRUE(Has(r.out, " (GDAL " + std::string(GDALVersionInfo("RELEASE_NAME")) + ")")) << r.out;
}
