// Where the stretch of data wider than 8 bits comes from: one range the user
// sets for every image (so that the tiles of one delivery join without a
// seam), else the file's own statistics, else a sample.
#include <errno.h>

#include <gtest/gtest.h>

#include <cmath>

#include "cache.h"
#include "cpl_conv.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"
#include "reason.h"
#include "stats.h"

using namespace fixtures;
using ncsecwex::Stretch;
using ncsecwex::StretchFrom;

namespace {

// Sets a GDAL configuration option for its life.
class Setting {
 public:
  Setting(const char *name, const char *value) : name_(name) { CPLSetConfigOption(name, value); }
  ~Setting() { CPLSetConfigOption(name_, nullptr); }

 private:
  const char *name_;
};

// The stretch of every band of `path` as the library takes it, and whence.
std::vector<std::pair<Stretch, StretchFrom>> StretchesOf(const std::string &path) {
  ncsecwex::CloseIdleImages();  // learnt afresh
  std::vector<std::pair<Stretch, StretchFrom>> all;
  ncsecwex::Image *image = ncsecwex::AcquireImage(path.c_str());
  if (image == nullptr) return all;
  for (int b = 1; b <= GDALGetRasterCount(image->dataset); ++b) {
    Stretch s;
    std::string reason;
    if (!image->StretchOf(b, &s, &reason)) break;
    all.push_back({s, image->stretchFrom[(size_t)b]});
  }
  ncsecwex::ReleaseImage(image);
  return all;
}

// A 16-bit delivery's height model, 1000 m to about 5000 m: its value at
// (x, y), a tile of it being the pixels from (left, top).
Fixture Tile(GDALDataType type, int left, int top) {
  Fixture f;
  f.bands = 1;
  f.type = type;
  f.value = [left, top, type](int x, int y, int, double) {
    double v = 1000 + (left + x) * 30 + (top + y) * 7;
    return type == GDT_Float32 ? v + 0.25 : v;
  };
  return f;
}

// Column `x` of a view's RGB lines of `width` pixels, as grey.
std::vector<uint8_t> Column(const std::vector<uint8_t> &rgb, int width, int x) {
  std::vector<uint8_t> c;
  for (size_t y = 0; y < rgb.size() / 3 / (size_t)width; ++y) c.push_back(rgb[(y * width + x) * 3]);
  return c;
}

int LargestStep(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  int worst = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

}  // namespace

TEST(OneStretch, TwoTilesOfOneDeliveryWithOneRangeSetJoinWithoutASeam) {
  for (GDALDataType type : {GDT_UInt16, GDT_Float32}) {
    SCOPED_TRACE(GDALGetDataTypeName(type));
    std::string name = GDALGetDataTypeName(type);
    std::string left = Make("west-" + name + ".tif", Tile(type, 0, 0));
    std::string right = Make("east-" + name + ".tif", Tile(type, 64, 0));
    Window whole{0, 0, 63, 47, 64, 48};
    // Each tile stretched on its own: its west edge dark, its east edge light.
    std::vector<uint8_t> west = ReadView(left, {0}, whole), east = ReadView(right, {0}, whole);
    EXPECT_GT(LargestStep(Column(west, 64, 63), Column(east, 64, 0)), 200) << "the seam";

    Setting range("NCSECWEX_SCALE", "1000 5000");
    ncsecwex::CloseIdleImages();
    west = ReadView(left, {0}, whole);
    east = ReadView(right, {0}, whole);
    // Across the join the same step as within a tile: 30 m, about 2 greys.
    EXPECT_LE(LargestStep(Column(west, 64, 63), Column(east, 64, 0)), 2);
    EXPECT_LE(LargestStep(Column(west, 64, 62), Column(west, 64, 63)), 2);
    // 1000 m (and a quarter) is black in both, 5000 m would be white.
    EXPECT_EQ(west[0], 0);
    EXPECT_EQ(east[0], (uint8_t)std::floor((64 * 30 + (type == GDT_Float32 ? 0.25 : 0)) * 255 / 4000.0 + 0.5));
  }
  ncsecwex::CloseIdleImages();
}

TEST(OneStretch, ABandsOwnSettingWinsOverTheOneForAllAndOverTheFile) {
  Fixture wide;
  wide.type = GDT_UInt16;
  std::string path = Make("three-bands.tif", wide);
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  GDALSetRasterStatistics(GDALGetRasterBand(ds, 1), 1, 2, 1.5, 0.1);  // stored: overridden
  GDALClose(ds);
  Setting all("NCSECWEX_SCALE", "0,1000"), second("NCSECWEX_SCALE_2", " 600  500 ");
  auto got = StretchesOf(path);
  ASSERT_EQ(got.size(), 3u);
  const double want[3][2] = {{0, 1000}, {600, 500}, {0, 1000}};
  for (int b = 0; b < 3; ++b) {
    EXPECT_EQ(got[b].first.low, want[b][0]) << "band " << b + 1;
    EXPECT_EQ(got[b].first.high, want[b][1]) << "band " << b + 1;
    EXPECT_EQ(got[b].second, StretchFrom::kUser);
  }
  // A range given high to low inverts, as gdal_translate -scale does.
  ncsecwex::Stretcher inverted(got[1].first);
  EXPECT_EQ(inverted(600), 0);
  EXPECT_EQ(inverted(500), 255);
  EXPECT_EQ(inverted(560), 102);
}

TEST(OneStretch, ASettingThatIsNoRangeFailsTheViewWithItsReason) {
  Fixture wide;
  wide.type = GDT_UInt16;
  std::string path = Make("unset.tif", wide);
  for (const char *value : {"", "abc", "1000", "0 1000 0 255", "5 5", "0 inf", "0 4000x", "nan 1"}) {
    SCOPED_TRACE(std::string("'") + value + "'");
    Setting bad("NCSECWEX_SCALE_3", value);
    ncsecwex::CloseIdleImages();
    EcwView *view = nullptr;
    ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
    uint32_t bands[] = {0, 1, 2};
    errno = 0;
    EXPECT_NE(NCScbmSetFileView(view, 3, bands, 0, 0, 63, 47, 64, 48), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(std::string(NCSecwexLastReason()),
              std::string("NCSECWEX_SCALE_3='") + value +
                  "' is not a range: give the two values that become 0 and 255, as for "
                  "gdal_translate -scale (NCSECWEX_SCALE_3=\"0 4000\")");
    NCScbmCloseFileView(view);
  }
  ncsecwex::CloseIdleImages();
  // Eight-bit data is delivered as it is, whatever the setting.
  Setting any("NCSECWEX_SCALE", "nonsense");
  std::string bytes = Make("bytes-unscaled.tif", Fixture());
  EXPECT_EQ(ReadView(bytes, {0, 1, 2}, {0, 0, 63, 47, 64, 48}),
            Oracle(bytes, {0, 1, 2}, 0, 0, 63, 47, 64, 48));
}

TEST(StoredStatistics, TheFilesOwnStatisticsGiveTheCutRatherThanASample) {
  struct Case {
    std::string what;
    std::function<void(GDALRasterBandH)> store;
    double low, high;
    StretchFrom from;
  } cases[] = {
      {"a histogram (gdalinfo -hist)",
       [](GDALRasterBandH b) {
         std::vector<GUIntBig> counts(100, 1);  // 0 to 100, one value a bucket
         GDALSetDefaultHistogramEx(b, 0, 100, 100, counts.data());
       },
       2, 98, StretchFrom::kHistogram},
      {"minimum and maximum alone",
       [](GDALRasterBandH b) {
         GDALSetMetadataItem(b, "STATISTICS_MINIMUM", "100", nullptr);
         GDALSetMetadataItem(b, "STATISTICS_MAXIMUM", "900", nullptr);
       },
       100, 900, StretchFrom::kStatistics},
      {"mean and deviation within minimum and maximum",
       [](GDALRasterBandH b) { GDALSetRasterStatistics(b, 0, 10000, 500, 100); },
       500 - ncsecwex::kNormal98 * 100, 500 + ncsecwex::kNormal98 * 100, StretchFrom::kStatistics},
      {"mean and deviation beyond them",
       [](GDALRasterBandH b) { GDALSetRasterStatistics(b, 450, 520, 500, 100); }, 450, 520,
       StretchFrom::kStatistics},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Fixture wide;
    wide.bands = 1;
    wide.type = GDT_UInt16;  // its values, 300 to about 4900, are none of the above
    std::string path = Make("stored" + std::to_string(n++) + ".tif", wide);
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);  // kept in its .aux.xml
    c.store(GDALGetRasterBand(ds, 1));
    GDALClose(ds);
    auto got = StretchesOf(path);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NEAR(got[0].first.low, c.low, 1e-9);
    EXPECT_NEAR(got[0].first.high, c.high, 1e-9);
    EXPECT_EQ(got[0].second, c.from);
  }

  // Statistics GDAL computed and stored (gdalinfo -stats), and none.
  Fixture wide;
  wide.bands = 1;
  wide.type = GDT_UInt16;
  std::string computed = Make("computed.tif", wide), none = Make("nostats.tif", wide);
  GDALDatasetH ds = GDALOpen(computed.c_str(), GA_ReadOnly);
  double mn, mx, mean, sd;
  ASSERT_EQ(GDALComputeRasterStatistics(GDALGetRasterBand(ds, 1), FALSE, &mn, &mx, &mean, &sd,
                                        nullptr, nullptr),
            CE_None);
  GDALClose(ds);
  auto got = StretchesOf(computed);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NEAR(got[0].first.low, std::max(mn, mean - ncsecwex::kNormal98 * sd), 1e-6);
  EXPECT_NEAR(got[0].first.high, std::min(mx, mean + ncsecwex::kNormal98 * sd), 1e-6);
  got = StretchesOf(none);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].second, StretchFrom::kSample);
  ds = GDALOpen(none.c_str(), GA_ReadOnly);
  std::array<double, 2> cut = CumulativeCut(GDALGetRasterBand(ds, 1));
  GDALClose(ds);
  EXPECT_EQ(got[0].first.low, cut[0]);
  EXPECT_EQ(got[0].first.high, cut[1]);
}

TEST(StoredStatistics, AHistogramsCutFallsWithinItsBuckets) {
  struct Case {
    const char *what;
    double min, max;
    std::vector<GUIntBig> counts;
    bool ok;
    double low, high;
  } cases[] = {
      {"no buckets", 0, 1, {}, false, 0, 0},
      {"no values", 0, 10, {0, 0, 0}, false, 0, 0},
      {"no range", 5, 5, {4}, false, 0, 0},
      {"uniform", 0, 100, std::vector<GUIntBig>(100, 1), true, 2, 98},
      {"half way into a bucket", 0, 10, {100, 0, 0, 0, 0, 0, 0, 0, 0, 100}, true, 0.04, 9.96},
      {"one bucket: within it", -0.5, 9.5, {0, 0, 0, 7, 0, 0, 0, 0, 0, 0}, true, 2.52, 3.48},
  };
  for (const Case &c : cases) {
    Stretch s;
    EXPECT_EQ(ncsecwex::CutOfHistogram(c.min, c.max, (int)c.counts.size(), c.counts.data(), &s),
              c.ok)
        << c.what;
    if (!c.ok) continue;
    EXPECT_NEAR(s.low, c.low, 1e-9) << c.what;
    EXPECT_NEAR(s.high, c.high, 1e-9) << c.what;
  }
}
