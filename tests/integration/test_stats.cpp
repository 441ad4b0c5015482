// How data wider than 8 bits becomes RGB: the cumulative cut, its sample,
// and values that are not finite.
#include <math.h>

#include <gtest/gtest.h>

#include <limits>

#include "cache.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "stats.h"

using namespace fixtures;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> Range(int from, int count) {
  std::vector<double> v;
  for (int i = 0; i < count; ++i) v.push_back(from + i);
  return v;
}

std::vector<double> With(std::vector<double> v, std::initializer_list<double> more) {
  v.insert(v.end(), more);
  return v;
}

// A 1:1 view of the whole 64 x 48 image; empty when a step fails.
std::vector<uint8_t> WholeView(const std::string &path, std::vector<uint32_t> bands = {0, 1, 2}) {
  EcwView *view = nullptr;
  if (NCScbmOpenFileView(path.c_str(), &view, nullptr) != 0) return {};
  std::vector<uint8_t> all;
  if (NCScbmSetFileView(view, (uint32_t)bands.size(), bands.data(), 0, 0, 63, 47, 64, 48) == 0) {
    std::vector<uint8_t> line(64 * 3);
    for (int y = 0; y < 48 && NCScbmReadViewLineRGB(view, line.data()) == 0; ++y)
      all.insert(all.end(), line.begin(), line.end());
  }
  NCScbmCloseFileView(view);
  return all;
}

double Mean(const std::vector<uint8_t> &v) {
  double sum = 0;
  for (uint8_t b : v) sum += b;
  return v.empty() ? 0 : sum / v.size();
}

// The pattern with pixel (10, 7) of every band set to `v`.
Fixture OnePixel(GDALDataType type, double v) {
  Fixture f;
  f.type = type;
  f.value = [v](int x, int y, int, double pattern) { return x == 10 && y == 7 ? v : pattern; };
  return f;
}

}  // namespace

TEST(Stretch, CutsTwoAndNinetyEightPercentOfTheFiniteValues) {
  struct Case {
    const char *what;
    std::vector<double> values;
    double low, high;
  } cases[] = {
      {"no values", {}, 0, 0},
      {"none finite", {kNaN, kInf, -kInf}, 0, 0},
      {"one value", {5}, 5, 5},
      {"0 to 99", Range(0, 100), 1, 98},
      {"0 to 99 and what is not finite", With(Range(0, 100), {kNaN, kInf, -kInf, kInf}), 1, 98},
      {"a hot pixel", With(Range(300, 1000), {65535}), 320, 1280},
      {"a cold pixel", With(Range(300, 1000), {-1e30}), 319, 1279},
      {"the cut leaves no range: least to greatest", With(std::vector<double>(99, 0.0), {200}), 0,
       200},
  };
  for (Case &c : cases) {
    ncsecwex::Stretch s = ncsecwex::CutOf(c.values);
    EXPECT_EQ(s.low, c.low) << c.what;
    EXPECT_EQ(s.high, c.high) << c.what;
  }
}

TEST(Stretch, MapsItsRangeOntoBytesAndTheRestToTheEnds) {
  ncsecwex::Stretcher s(ncsecwex::Stretch{100, 355});
  struct Case {
    double v;
    uint8_t out;
  } cases[] = {{100, 0}, {355, 255}, {227.5, 128}, {227.4, 127}, {-5, 0}, {1e9, 255},
               {kInf, 255}, {-kInf, 0}, {kNaN, 0}};
  for (const Case &c : cases) EXPECT_EQ(s(c.v), c.out) << c.v;
  ncsecwex::Stretcher none(ncsecwex::Stretch{7, 7});
  EXPECT_EQ(none(7), 0);
  EXPECT_EQ(none(1e9), 0) << "no range: black";
}

TEST(Stretch, ExtremePixelsDoNotDarkenTheImage) {
  struct Case {
    const char *what;
    GDALDataType type;
    double v;
    uint8_t pixel;  // what the extreme pixel becomes
  } cases[] = {
      {"a hot 16-bit pixel", GDT_UInt16, 65535, 255},
      {"a cold signed pixel", GDT_Int16, -32768, 0},
      {"+inf", GDT_Float32, kInf, 255},
      {"-inf", GDT_Float32, -kInf, 0},
      {"a NaN", GDT_Float64, kNaN, 0},
      {"a huge 32-bit pixel", GDT_UInt32, 4e9, 255},
  };
  std::vector<uint8_t> plain = WholeView(Make("plain16.tif", OnePixel(GDT_UInt16, 300)));
  ASSERT_FALSE(plain.empty());
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = Make("extreme" + std::to_string(n++) + ".tif", OnePixel(c.type, c.v));
    std::vector<uint8_t> got = WholeView(path);
    ASSERT_EQ(got.size(), 64u * 48 * 3);
    EXPECT_EQ(MaxDifference(got, Oracle(path, {0, 1, 2}, 0, 0, 63, 47, 64, 48)), 0);
    EXPECT_EQ(got[(7 * 64 + 10) * 3], c.pixel);
    // The rest of the image is stretched as it would be without that pixel.
    EXPECT_GT(Mean(got), 100.0);
    EXPECT_NEAR(Mean(got), Mean(plain), 3.0);
  }
}

TEST(Stretch, AnImageWithNoFiniteValueRendersBlack) {
  for (GDALDataType type : {GDT_Float32, GDT_Float64}) {
    Fixture nan;
    nan.type = type;
    nan.value = [](int, int, int, double) { return kNaN; };
    std::string path = Make(std::string("nan-") + GDALGetDataTypeName(type) + ".tif", nan);
    std::vector<uint8_t> got = WholeView(path);
    ASSERT_EQ(got.size(), 64u * 48 * 3) << "a view, all of it";
    EXPECT_EQ(*std::max_element(got.begin(), got.end()), 0);
  }
}

TEST(Stretch, EveryBandIsStretchedOnItsOwn) {
  Fixture wide;
  wide.type = GDT_UInt16;
  std::string path = Make("bands16.tif", wide);
  ncsecwex::Image *image = ncsecwex::AcquireImage(path.c_str());
  ASSERT_NE(image, nullptr);
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  std::string reason;
  for (int b = 1; b <= 3; ++b) {
    ncsecwex::Stretch s;
    ASSERT_TRUE(image->StretchOf(b, &s, &reason));
    std::array<double, 2> cut = CumulativeCut(GDALGetRasterBand(ds, b));
    EXPECT_EQ(s.low, cut[0]) << "band " << b;
    EXPECT_EQ(s.high, cut[1]) << "band " << b;
  }
  EXPECT_FALSE(image->StretchOf(4, nullptr, &reason)) << "no such band";
  GDALClose(ds);
  ncsecwex::ReleaseImage(image);
}

TEST(Stretch, ALargeImageIsSampledFromItsOverviewOrItsBlocks) {
  // With overviews: the smallest holding at least kSamplePixels pixels,
  // whole. 2048 x 1024 has them at 1024 x 512 (enough) and 512 x 256 (too few).
  Fixture withOverviews;
  withOverviews.type = GDT_Float32;
  withOverviews.width = 2048;
  withOverviews.height = 1024;
  withOverviews.overviews = true;
  std::string path = Make("sampled.tif", withOverviews);
  ncsecwex::Image *image = ncsecwex::AcquireImage(path.c_str());
  ASSERT_NE(image, nullptr);
  ncsecwex::Stretch s;
  std::string reason;
  ASSERT_TRUE(image->StretchOf(1, &s, &reason));
  GDALRasterBandH overview = GDALGetOverview(GDALGetRasterBand(image->dataset, 1), 0);
  ASSERT_EQ(GDALGetRasterBandXSize(overview), 1024);
  std::array<double, 2> cut = CumulativeCut(overview);
  EXPECT_EQ(s.low, cut[0]);
  EXPECT_EQ(s.high, cut[1]);
  ncsecwex::ReleaseImage(image);

  // Without: blocks over the whole image, close to the cut of every pixel.
  Fixture flat = withOverviews;
  flat.overviews = false;
  flat.width = 2000;
  flat.height = 1000;
  path = Make("blocks.tif", flat);
  image = ncsecwex::AcquireImage(path.c_str());
  ASSERT_NE(image, nullptr);
  ASSERT_TRUE(image->StretchOf(1, &s, &reason));
  cut = CumulativeCut(GDALGetRasterBand(image->dataset, 1));
  double range = cut[1] - cut[0];
  EXPECT_NEAR(s.low, cut[0], 0.03 * range);
  EXPECT_NEAR(s.high, cut[1], 0.03 * range);
  ncsecwex::ReleaseImage(image);
}
