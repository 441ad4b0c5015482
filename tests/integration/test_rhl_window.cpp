// render's windows and sizes as gdal_translate takes them (-projwin,
// -srcwin, -outsize W 0), with gdal_translate itself as the oracle, and the
// arguments rhl refuses.
#include <math.h>

#include <gtest/gtest.h>

#include "cpl_string.h"
#include "fixtures.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture f;
    f.width = 400;
    f.height = 300;
    image_ = Make("window.tif", f);
    Decorate(image_, "EPSG:32633");
    Fixture plain;
    plain.georeferenced = false;
    plain_ = Make("window-plain.tif", plain);
  }
  static std::string image_, plain_;
};
std::string RhlWindow::image_, RhlWindow::plain_;

struct Raster {
  int width = 0, height = 0, bands = 0;
  std::vector<unsigned char> pixels;
  double gt[6] = {0};
};

Raster Read(const std::string &path) {
  Raster r;
  r.pixels = Pixels(path, &r.width, &r.height, &r.bands);
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  GDALGetGeoTransform(ds, r.gt);
  GDALClose(ds);
  return r;
}

std::vector<std::string> Split(const std::string &text) {
  std::vector<std::string> words;
  char **tokens = CSLTokenizeString(text.c_str());
  for (char **t = tokens; t && *t; ++t) words.push_back(*t);
  CSLDestroy(tokens);
  return words;
}

// `out` holds what gdal_translate writes of `source` with `gdalArgs` into
// `oracle`: the same size, pixels and geotransform.
void ExpectAsGdalTranslate(const std::string &out, const std::string &source,
                           const std::string &gdalArgs, const std::string &oracle) {
  Raster got = Read(out);
  Translate(source, oracle, Split(gdalArgs));
  Raster want = Read(oracle);
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  EXPECT_EQ(got.pixels, want.pixels);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(got.gt[i], want.gt[i]) << i;
}

}  // namespace

TEST_F(RhlWindow, WindowsAndSizesMatchGdalTranslate) {
  struct Case {
    std::string rhl, gdal;
  } cases[] = {
      {"--projwin 500100 4199900 500600 4199500", "-projwin 500100 4199900 500600 4199500"},
      {"-projwin 500101.3 4199898.8 500598.1 4199502.6", "-projwin 500101.3 4199898.8 500598.1 4199502.6"},
      {"--projwin 500000 4200000 501000 4199250", "-projwin 500000 4200000 501000 4199250"},
      {"--srcwin 10 20 200 100", "-srcwin 10 20 200 100"},
      {"-srcwin 0 0 400 300", "-srcwin 0 0 400 300"},
      {"--src 10,20,210,120", "-srcwin 10 20 200 100"},
      // 0 keeps the aspect; gdal_translate's -r average is what a
      // reduction delivers.
      {"--size 100x0", "-outsize 100 0 -r average"},
      {"--size 0x60", "-outsize 0 60 -r average"},
      {"--outsize 50% 50%", "-outsize 50% 50% -r average"},
      {"-outsize 133 0 --srcwin 7 9 320 250", "-outsize 133 0 -srcwin 7 9 320 250 -r average"},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rhl);
    std::string out = TempDir() + "/window" + std::to_string(n) + ".tif";
    Outcome r = Rhl("render " + image_ + " -o " + out + " " + c.rhl);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectAsGdalTranslate(out, image_, c.gdal, Scratch("gdal" + std::to_string(n++) + ".tif"));
  }
}

TEST_F(RhlWindow, ArgumentsRefusedWithShortMessagesBeforeAnythingIsWritten) {
  std::string out = TempDir() + "/refused.png";
  struct Case {
    std::string args, err;
  } cases[] = {
      {"--scale nan", "--scale takes a finite number, not 'nan'"},
      {"--scale inf", "--scale takes a finite number, not 'inf'"},
      {"--scale 1e999", "--scale takes a finite number, not '1e999'"},
      {"--scale 0", "--scale takes a number greater than 0, not '0'"},
      {"--scale -2", "--scale takes a number greater than 0, not '-2'"},
      {"--scale 0.5x", "--scale takes a finite number, not '0.5x'"},
      {"--src 0,0,4294967396,100",
       "--src takes whole numbers from -2147483648 to 2147483647, not '4294967396'"},
      {"--src 1,2,3", "--src takes L,T,R,B in image pixels, right and bottom exclusive, not '1,2,3'"},
      {"--src 5,5,5,9", "--src takes L,T,R,B with R > L and B > T, not '5,5,5,9'"},
      {"--srcwin 0 0 0 10", "--srcwin takes whole numbers from 1 to 2147483647, not '0'"},
      {"--size 0x0", "--size 0x0: the width and the height cannot both be 0"},
      {"--size 10", "--size takes WxH (0 for one of them keeps the aspect), not '10'"},
      {"--size 10x-3", "--size takes whole numbers from 0 to 2147483647, not '-3'"},
      {"--projwin nan 1 2 3", "--projwin takes a finite number, not 'nan'"},
      {"--projwin 500600 4199900 500100 4199500",
       "--projwin 500600 4199900 500100 4199500 is an empty window: give the upper-left corner, "
       "then the lower-right, in the image's CRS"},
      // Outside the image: refused by rhl, with the image's size.
      {"--src 0,0,401,300",
       "--src 0,0,401,300 reaches outside the image, which is 400 x 300 pixels, from (500000, "
       "4200000) to (501000, 4199250)"},
      // --srcwin and --projwin wholly outside; partly outside they are filled.
      {"--srcwin 400 0 10 10", "--srcwin 400 0 10 10 lies wholly outside the image, which is 400 "
                               "x 300 pixels, from (500000, 4200000) to (501000, 4199250)"},
      {"--srcwin -10 -10 10 300", "--srcwin -10 -10 10 300 lies wholly outside the image, which "
                                  "is 400 x 300 pixels, from (500000, 4200000) to (501000, "
                                  "4199250)"},
      {"--projwin -10 60 30 35",
       "--projwin -10 60 30 35 covers pixels -200004,1679976,-199988,1679986 (L,T,R,B), which "
       "lies wholly outside the image, which is 400 x 300 pixels, from (500000, 4200000) to "
       "(501000, 4199250)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + image_ + " -o " + out + " " + c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rhl: " + c.err + "\nRun with --help for more information.\n");
    EXPECT_LT(r.err.size(), 260u);
    EXPECT_FALSE(Exists(out));
  }
  Outcome plain = Rhl("render " + plain_ + " -o " + out + " --projwin 0 0 10 -10");
  EXPECT_EQ(plain.status, 2);
  EXPECT_EQ(plain.err.rfind("rhl: --projwin needs a georeferenced image, and this one is not\n", 0),
            0u)
      << plain.err;
}

TEST_F(RhlWindow, ARequestForMorePixelsThanTheSourceIsMetAtItsSizeWithANote) {
  std::string out = TempDir() + "/clamped.tif";
  struct Case {
    std::string args, note;
    int width, height;
  } cases[] = {
      {"--size 800x600", "the output is 400 x 300 pixels, not the 800 x 600 asked for", 400, 300},
      {"--size 800x0", "the output is 400 x 300 pixels, not the 800 x 600 asked for", 400, 300},
      {"--size 800x100", "the output is 400 x 100 pixels, not the 800 x 100 asked for", 400, 100},
      {"--scale 3 --srcwin 0 0 10 10", "the output is 10 x 10 pixels, not the 30 x 30 asked for", 10, 10},
      {"--size 400x100", "", 400, 100},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + image_ + " -o " + out + " " + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.note.empty() ? "" : "rhl: note: the module never enlarges, so " + c.note + "\n");
    Raster got = Read(out);
    EXPECT_EQ(got.width, c.width);
    EXPECT_EQ(got.height, c.height);
    Outcome quiet = Rhl("render " + image_ + " -o " + out + " -q " + c.args);
    EXPECT_EQ(quiet.err, "") << "-q keeps notes back";
  }
}

TEST_F(RhlWindow, AWindowPartlyOutsideIsWrittenWholeAsGdalTranslateWritesIt) {
  struct Case {
    std::string rhl, gdal;
    int fill;  // the value outside the image
  } cases[] = {
      {"--srcwin 350 250 100 100", "-srcwin 350 250 100 100", 0},
      {"--srcwin -30 -20 100 80", "-srcwin -30 -20 100 80", 0},
      {"--srcwin -10 -10 420 320", "-srcwin -10 -10 420 320", 0},
      {"--srcwin 350 250 100 100 --a_nodata 9", "-srcwin 350 250 100 100 -a_nodata 9", 9},
      {"--projwin 499900 4200100 500100 4199900", "-projwin 499900 4200100 500100 4199900", 0},
      {"--projwin 500900 4199300 501100 4199100 --a_nodata 255",
       "-projwin 500900 4199300 501100 4199100 -a_nodata 255", 255},
      // Reduced: the inside part lands on whole output pixels here.
      {"--srcwin -40 0 200 100 --outsize 100 50", "-srcwin -40 0 200 100 -outsize 100 50 -r average",
       0},
      {"--srcwin 300 200 200 200 --outsize 50% 50%",
       "-srcwin 300 200 200 200 -outsize 50% 50% -r average", 0},
      {"--srcwin -50 -50 200 200 --scale 0.5", "-srcwin -50 -50 200 200 -outsize 100 100 -r average",
       0},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rhl);
    std::string out = Scratch("partly" + std::to_string(n) + ".tif");
    Outcome r = Rhl("render " + image_ + " -o " + out + " " + c.rhl);
    ASSERT_EQ(r.status, 0) << r.err;
    // Said once, also under -q, as GDAL warns.
    const std::string window = c.rhl.substr(0, c.rhl.find(" --", 2));
    EXPECT_EQ(r.err.rfind("rhl: warning: " + window, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" reaches outside the image, which is 400 x 300 pixels, from (500000, "
                         "4200000) to (501000, 4199250); the part outside is filled with " +
                         std::to_string(c.fill)),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(Rhl("render " + image_ + " -o " + out + " -q " + c.rhl).err, r.err);
    ExpectAsGdalTranslate(out, image_, c.gdal, Scratch("gdal-partly" + std::to_string(n++) + ".tif"));
  }
}
