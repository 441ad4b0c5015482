// rhl run as a process, as a person or a script runs it.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fixtures.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture fixture;
    fixture.width = 400;
    fixture.height = 300;
    fixture.overviews = true;
    image_ = Make("rhl.tif", fixture);
    link_ = Link("rhl.url", image_);
  }
  static std::string image_, link_;
};
std::string RhlTool::image_, RhlTool::link_;

}  // namespace

TEST_F(RhlTool, InfoJsonCarriesTheGeotransform) {
  Outcome r = Rhl("info --json " + link_);
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["module"]["name"], "ECW.RHL");
  EXPECT_EQ(j["resolved"], image_);
  EXPECT_EQ(j["width"], 400);
  EXPECT_EQ(j["height"], 300);
  std::vector<double> gt = j["geotransform"];
  EXPECT_EQ(gt, std::vector<double>(kGeo.begin(), kGeo.end()));
  EXPECT_EQ(j["control_points"][1]["world"][0], kGeo[0] + 400 * kGeo[1]);
  EXPECT_EQ(j["control_points"][1]["pixel"][1], 300.0);

  Outcome text = Rhl("info " + link_);
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("size:          400 x 300"), std::string::npos) << text.out;
}

TEST_F(RhlTool, RenderMatchesGdalPixelForPixelWithItsGeoreferencing) {
  struct Case {
    std::string args;
    int l, t, r, b, w, h;  // source, exclusive; expected output size
  } cases[] = {
      {"", 0, 0, 400, 300, 400, 300},
      {"--src 50,40,250,140", 50, 40, 250, 140, 200, 100},
      {"--size 200x150", 0, 0, 400, 300, 200, 150},
      {"--src 12,20,382,290 --size 100x73", 12, 20, 382, 290, 100, 73},
      {"--scale 0.125", 0, 0, 400, 300, 50, 38},
      {"--src 8,8,392,296 --scale 2", 8, 8, 392, 296, 384, 288},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    std::string out = TempDir() + "/render" + std::to_string(n++) + ".tif";
    Outcome r = Rhl("render " + image_ + ".ecw -o " + out + " " + c.args);
    EXPECT_EQ(r.status, 1) << "a .tif name is not the module's to open";
    ASSERT_EQ(symlink(image_.c_str(), (out + ".ecw").c_str()), 0);
    r = Rhl("render " + out + ".ecw -o " + out + " " + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "no progress bar when standard error is not a terminal";
    // A request for more pixels than the source is met at the source's size,
    // and said once.
    bool enlarged = c.args.find("--scale 2") != std::string::npos;
    EXPECT_EQ(r.err, enlarged ? "rhl: note: the module never enlarges, so the output is 384 x 288 "
                                "pixels, not the 768 x 576 asked for\n"
                              : "");

    GDALDatasetH ds = GDALOpen(out.c_str(), GA_ReadOnly);
    ASSERT_NE(ds, nullptr);
    ASSERT_EQ(GDALGetRasterXSize(ds), c.w);
    ASSERT_EQ(GDALGetRasterYSize(ds), c.h);
    std::vector<uint8_t> got((size_t)c.w * c.h * 3);
    ASSERT_EQ(GDALDatasetRasterIO(ds, GF_Read, 0, 0, c.w, c.h, got.data(), c.w, c.h, GDT_Byte, 3,
                                  nullptr, 3, 3 * c.w, 1),
              CE_None);
    EXPECT_EQ(MaxDifference(got, Oracle(image_, {0, 1, 2}, c.l, c.t, c.r - 1, c.b - 1, c.w, c.h)),
              0);
    double gt[6];
    ASSERT_EQ(GDALGetGeoTransform(ds, gt), CE_None);
    EXPECT_DOUBLE_EQ(gt[0], kGeo[0] + c.l * kGeo[1]);
    EXPECT_DOUBLE_EQ(gt[3], kGeo[3] + c.t * kGeo[5]);
    EXPECT_DOUBLE_EQ(gt[1], kGeo[1] * (c.r - c.l) / c.w);
    EXPECT_DOUBLE_EQ(gt[5], kGeo[5] * (c.b - c.t) / c.h);
    GDALClose(ds);
  }
}

TEST_F(RhlTool, RenderToPngWritesAWorldFile) {
  std::string out = TempDir() + "/view.png";
  Outcome r = Rhl("render " + link_ + " -o " + out + " --src 100,100,200,200");
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream pgw(Slurp(TempDir() + "/view.pgw"));
  double a, d, b, e, c, f;
  pgw >> a >> d >> b >> e >> c >> f;
  EXPECT_EQ(a, kGeo[1]);
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(b, 0.0);
  EXPECT_EQ(e, kGeo[5]);
  EXPECT_DOUBLE_EQ(c, kGeo[0] + 100.5 * kGeo[1]) << "world files name the first pixel's centre";
  EXPECT_DOUBLE_EQ(f, kGeo[3] + 100.5 * kGeo[5]);
  GDALDatasetH ds = GDALOpen(out.c_str(), GA_ReadOnly);
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(GDALGetRasterXSize(ds), 100);
  GDALClose(ds);
}

TEST_F(RhlTool, CheckIsGreenOnTheModuleAndRedItemByItemOnABrokenOne) {
  Outcome good = Rhl(std::string("check ") + RHL_MODULE_PATH);
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_EQ(good.out.find("FAIL"), std::string::npos) << good.out;

  Outcome bad = Rhl(std::string("check ") + BROKEN_MODULE_PATH);
  EXPECT_EQ(bad.status, 1);
  for (const char *line : {"ok   entry 101 HandlerGetInfo\n",
                           "FAIL entry 105 HandlerReadLine: not exported\n",
                           "FAIL descriptor layout (1068 bytes): leading word is 2, not 1\n",
                           "FAIL probe of another extension answers 0: answered 1\n",
                           "FAIL last error of a fresh record is 0: answered 7\n",
                           "FAIL close answers 1: answered 0\n"})
    EXPECT_NE(bad.out.find(line), std::string::npos) << line << " in\n" << bad.out;

  Outcome none = Rhl("check " + TempDir() + "/no-such-module.RHL");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out.rfind("FAIL loads: ", 0), 0u) << none.out;
}

TEST_F(RhlTool, UsageErrorsExitWith2AndFailedEntriesWith1) {
  for (const char *args : {"", "bogus", "info", "render", "render x.url -o a.png --size 3",
                           "render x.url -o a.png --size 10x10 --scale 2",
                           "render x.url -o a.png --scale -1"}) {
    Outcome r = Rhl(args);
    EXPECT_EQ(r.status, 2) << "rhl " << args << "\n" << r.err;
  }
  Outcome badSrc = Rhl("render " + link_ + " -o " + TempDir() + "/x.png --src 1,2,3");
  EXPECT_EQ(badSrc.status, 2);
  for (const char *args : {"--help", "info --help", "render --help", "check --help"}) {
    Outcome r = Rhl(args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << args;
  }
  std::string missing = TempDir() + "/missing.ecw";
  Outcome failed = Rhl("info " + missing);
  EXPECT_EQ(failed.status, 1);
  // The module's box once, under the module's name, then rhl's own line.
  EXPECT_EQ(failed.err, "ECW.RHL: Error opening view into ECW file: '" + missing +
                            "' (No such file or directory)\nrhl: could not open '" + missing + "'\n");
}

namespace {

// A link file naming an empty VRT of `width` x `height` pixels.
std::string EmptyVrtLink(const std::string &name, long width, int height) {
  return Link(name + ".url", EmptyVrt(name + ".vrt", width, height));
}

}  // namespace

TEST_F(RhlTool, AViewWiderThanMemoryIsRefusedWithAMessage) {
  std::string link = EmptyVrtLink("billion", 1000000000, 1);
  std::string out = TempDir() + "/billion.tif";
  Outcome whole = Rhl("render " + link + " -o " + out);
  EXPECT_EQ(whole.status, 1);
  EXPECT_EQ(whole.err,
            "ECW.RHL: Error while setting file view to 3 bands, TL[0,0] BR[1000000000,1], Window "
            "size [1000000000,1]\nrhl: the module could not set up the view\n"
            "rhl: the library says: the view's lines do not fit in memory\n");
  for (const char *args : {" --src 0,0,1000,1", " --src 999999000,0,1000000000,1", " --size 1000x1"}) {
    Outcome part = Rhl("render " + link + " -o " + out + args);
    EXPECT_EQ(part.status, 0) << args << "\n" << part.err;
  }
}

TEST_F(RhlTool, OutputRowsThatDoNotFitInMemoryAreRefusedWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a limit on address space and AddressSanitizer's shadow memory do not mix";
#else
  // Ten million pixels across: the library's strips fit, but not 256 lines
  // of them within a 3 GiB address space.
  std::string link = EmptyVrtLink("tenmillion", 10000000, 300);
  std::string out = TempDir() + "/tenmillion.tif";
  std::string cmd = "ulimit -v 3145728; " + std::string(RHL_EXE) + " render " + link + " -o " + out;
  std::string err = TempDir() + "/ulimit.err";
  int raw = system((cmd + " 2>" + err).c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
  EXPECT_EQ(Slurp(err), "rhl: 256 output lines of 10000000 pixels do not fit in memory; nothing "
                        "was written to " + out + "\n");
  EXPECT_NE(access(out.c_str(), F_OK), 0) << "nothing written";
#endif
}

TEST_F(RhlTool, TheLibrarysReasonFollowsRhlsOwnLine) {
  Fixture rotated;
  rotated.geo = {0, 1, 0.2, 0, 0.1, -1};
  std::string folder = TempDir() + "/a-folder";
  mkdir(folder.c_str(), 0700);
  struct Case {
    std::string target, code, reason;
  } cases[] = {
      {Make("tilted.tif", rotated), "Numerical argument out of domain",
       "is rotated or sheared (geotransform terms 0.2 and 0.1); the record carries no rotation"},
      {folder, "Is a directory", "is a folder, not an image GDAL reads"},
      {"/dev/stdin", "Operation not permitted",
       "names the host's standard streams or a process's open files"},
      {"/dev/zero", "Illegal seek", "is a character device, not a regular file"},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string link = Link("reason" + std::to_string(n++) + ".url", c.target);
    Outcome r = Rhl("info " + link);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ECW.RHL: Error opening view into ECW file: '" + c.target + "' (" + c.code +
                         ")\nrhl: could not open '" + link + "'\nrhl: the library says: '" +
                         c.target + "' " + c.reason + "\n");
  }
  // A library that offers no reasons: rhl goes on without them.
  Outcome fake = Rhl(std::string("info --module ") + FAKE_MODULE_PATH + " any.ecw");
  EXPECT_EQ(fake.status, 0) << fake.err;
  EXPECT_NE(fake.out.find("resolved:      any.ecw"), std::string::npos) << fake.out;
}
