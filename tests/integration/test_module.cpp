// The module, loaded as a host loads it, over the GDAL-backed library.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "fixtures.h"
#include "module_host.h"

using namespace fixtures;

namespace {

class ModuleOnGdal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture rgb;
    rgb.width = 300;
    rgb.height = 200;
    rgb.overviews = true;
    rgbPath_ = Make("scene.tif", rgb);
  }
  std::string WriteLink(const std::string &name, const std::string &text) {
    std::string path = TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // The bytes of a view against GDAL's own read of the same window.
  void ExpectView(Raster *raster, RhlRect destination, RhlRect source, double scale,
                  const std::vector<uint32_t> &bands, const std::string &path) {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> got = ReadAllLines(raster, destination, source, scale, &width, &height);
    ASSERT_FALSE(got.empty());
    std::vector<uint8_t> want = Oracle(path, bands, source.left, source.top, source.right - 1,
                                       source.bottom - 1, width, height);
    EXPECT_EQ(MaxDifference(got, want), 0) << width << "x" << height;
  }
  static std::string rgbPath_;
  const rhl::HandlerModule &m_ = Module();
};
std::string ModuleOnGdal::rgbPath_;

}  // namespace

TEST_F(ModuleOnGdal, OpensAndDeliversWhatGdalReads) {
  std::string ecwName = TempDir() + "/scene.ecw";  // the module serves .ecw and .url names
  ASSERT_EQ(symlink(rgbPath_.c_str(), ecwName.c_str()), 0);
  Raster raster{};
  ASSERT_EQ(m_.Probe()(ecwName.c_str()), 1);
  ASSERT_EQ(m_.Open()(&raster, ecwName.c_str(), 0), 1);
  EXPECT_EQ(m_.GetLastError()(&raster), 0u);
  EXPECT_EQ(std::string(raster.name), ecwName);
  EXPECT_EQ(raster.width, 300);
  EXPECT_EQ(raster.height, 200);

  // The control points tie pixel corners to the geotransform.
  const RegistrationBlock *block = raster.registration;
  ASSERT_NE(block, nullptr);
  const double ulX = kGeo[0], ulY = kGeo[3];
  const double lrX = ulX + 300 * kGeo[1], lrY = ulY + 200 * kGeo[5];
  const double want[3][4] = {{ulX, ulY, 0, 0}, {lrX, lrY, 300, 200}, {lrX, ulY, 300, 0}};
  for (int p = 0; p < 3; ++p) {
    ControlPoint cp = block->points[p];
    EXPECT_EQ(+cp.worldX, want[p][0]);
    EXPECT_EQ(+cp.worldY, want[p][1]);
    EXPECT_EQ(+cp.pixelX, want[p][2]);
    EXPECT_EQ(+cp.pixelY, want[p][3]);
  }

  const std::vector<uint32_t> rgb = {0, 1, 2};
  ExpectView(&raster, {0, 0, 300, 200}, {0, 0, 300, 200}, 1.0, rgb, rgbPath_);
  ExpectView(&raster, {0, 0, 10, 10}, {37, 11, 300, 200}, 1.0, rgb, rgbPath_);
  ExpectView(&raster, {0, 0, 150, 100}, {0, 0, 300, 200}, 0.5, rgb, rgbPath_);
  ExpectView(&raster, {0, 0, 75, 60}, {8, 16, 288, 200}, 0.27, rgb, rgbPath_);
  EXPECT_EQ(m_.Close()(&raster), 1);
}

TEST_F(ModuleOnGdal, LinkFilesResolveToTheImage) {
  Fixture grey;
  grey.bands = 1;
  std::string greyPath = Make("grey.tif", grey);
  std::string crlf = WriteLink("crlf.url", greyPath + "\r\n");
  std::string longText = WriteLink("long.URL", greyPath + std::string(6000, ' ') + "\r\n\r\n");
  for (const std::string &link : {crlf, longText}) {
    Raster raster{};
    ASSERT_EQ(m_.Open()(&raster, link.c_str(), 0), 1) << link;
    EXPECT_EQ(std::string(raster.name), greyPath);
    ExpectView(&raster, {0, 0, 64, 48}, {0, 0, 64, 48}, 1.0, {0}, greyPath);
  }

  // Leading spaces are part of the name: a relative name that begins with
  // two spaces opens the file whose name does.
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(TempDir().c_str()), 0);
  std::ofstream("  spaced.ecw", std::ios::binary) << std::ifstream(greyPath, std::ios::binary).rdbuf();
  std::string spaced = WriteLink("spaced.url", "  spaced.ecw\n");
  Raster raster{};
  EXPECT_EQ(m_.Open()(&raster, spaced.c_str(), 0), 1);
  EXPECT_EQ(std::string(raster.name), "  spaced.ecw");
  ASSERT_EQ(chdir(here), 0);
}

TEST_F(ModuleOnGdal, FailuresReachTheUserWithTheSystemsText) {
  std::string missing = TempDir() + "/missing.ecw";
  Raster raster{};
  std::string err = StderrOf([&] { EXPECT_EQ(m_.Open()(&raster, missing.c_str(), 0), 0); });
  EXPECT_EQ(err, "Error: Error opening view into ECW file: '" + missing +
                     "' (No such file or directory)\n");
  EXPECT_EQ(m_.GetLastError()(&raster), 5u);

  std::string gone = TempDir() + "/gone.url";
  err = StderrOf([&] { EXPECT_EQ(m_.Probe()(gone.c_str()), 0); });
  EXPECT_EQ(err, "Error: ReadUrlFromFile: url file '" + gone +
                     "' does not exist (No such file or directory)\n");

  // A window outside the image is the library's to refuse.
  ASSERT_EQ(m_.Open()(&raster, WriteLink("scene.url", rgbPath_).c_str(), 0), 1);
  RhlRect outside{250, 150, 350, 250};
  int32_t width = 0;
  err = StderrOf([&] { EXPECT_EQ(m_.BeginView()(&raster, &outside, &outside, 1.0, &width), 0); });
  EXPECT_EQ(err, "Error: Error while setting file view to 3 bands, TL[250,150] BR[350,250], "
                 "Window size [100,100]\n");
  EXPECT_EQ(m_.GetLastError()(&raster), 0u) << "a failed view leaves the open's code";
  EXPECT_EQ(m_.EndView()(&raster), 1);
}

TEST_F(ModuleOnGdal, AFifoReachedByAnyRouteIsRefusedAtOnceAndOtherImagesStillServe) {
  std::string fifo = TempDir() + "/module.fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string vrt = TempDir() + "/fifo-source.vrt";
  std::ofstream(vrt) << "<VRTDataset rasterXSize=\"64\" rasterYSize=\"48\"><VRTRasterBand "
                        "dataType=\"Byte\" band=\"1\"><SimpleSource><SourceFilename>"
                     << fifo << "</SourceFilename></SimpleSource></VRTRasterBand></VRTDataset>\n";
  alarm(60);  // a view that hangs fails the suite rather than blocking it
  auto start = std::chrono::steady_clock::now();

  // A GDAL path in a link file: refused at the open.
  std::string path = "/vsisubfile/0_100," + fifo;
  Raster refused{};
  std::string err = StderrOf([&] {
    EXPECT_EQ(m_.Open()(&refused, WriteLink("subfile.url", path).c_str(), 0), 0);
  });
  EXPECT_EQ(err, "Error: Error opening view into ECW file: '" + path + "' (Illegal seek)\n");

  // A VRT's source: the VRT opens, its first line is refused.
  Raster raster{};
  ASSERT_EQ(m_.Open()(&raster, WriteLink("fifo-vrt.url", vrt).c_str(), 0), 1);
  RhlRect whole{0, 0, 64, 48};
  int32_t width = 0;
  ASSERT_EQ(m_.BeginView()(&raster, &whole, &whole, 1.0, &width), 1);
  uint8_t *line = nullptr;
  uint16_t flag = 0;
  err = StderrOf([&] { EXPECT_EQ(m_.ReadLine()(&raster, 0, &line, &flag), 0); });
  EXPECT_EQ(err, "Error: Error reading line from ECW file\n");
  EXPECT_EQ(m_.EndView()(&raster), 1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  alarm(0);
  EXPECT_LT(seconds, 1.0) << "both refused at once";

  // The module goes on serving another image.
  Raster other{};
  ASSERT_EQ(m_.Open()(&other, WriteLink("after-fifo.url", rgbPath_).c_str(), 0), 1);
  ExpectView(&other, {0, 0, 300, 200}, {0, 0, 300, 200}, 1.0, {0, 1, 2}, rgbPath_);
}
