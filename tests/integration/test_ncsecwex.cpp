// The GDAL-backed library against GDAL itself.
#include <errno.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>

#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"
#include "strip.h"

using namespace fixtures;

namespace {

void ExpectLikeGdal(const std::string &path, const std::vector<uint32_t> &bands,
                    const Window &w, int tolerance) {
  std::vector<uint8_t> got = ReadView(path, bands, w);
  std::vector<uint8_t> want = Oracle(path, bands, w.left, w.top, w.right, w.bottom, w.width,
                                     w.height);
  int diff = MaxDifference(got, want);
  EXPECT_LE(diff, tolerance) << path << " window " << w.left << "," << w.top << " " << w.width
                             << "x" << w.height;
  if (diff > 0) std::cout << "  strip-wise differs by " << diff << ": " << path << "\n";
}

}  // namespace

TEST(GdalLibrary, ViewsMatchOneReadOfTheWholeWindow) {
  Fixture big;
  big.width = 700;
  big.height = 600;  // more than one 256-line strip
  big.overviews = true;
  std::string rgb = Make("rgb.tif", big);
  const std::vector<uint32_t> three = {0, 1, 2};
  ExpectLikeGdal(rgb, three, {0, 0, 699, 599, 700, 600}, 0);            // 1:1, three strips
  ExpectLikeGdal(rgb, three, {100, 50, 699, 599, 600, 550}, 0);          // to the last row and column
  ExpectLikeGdal(rgb, three, {0, 0, 699, 599, 350, 300}, 1);             // by 2
  // By 3.7 from a corner on the overview grid: GDAL rounds a whole read that
  // starts between overview pixels to the next one, and then differs from
  // the exact fractional window at its first column.
  ExpectLikeGdal(rgb, three, {12, 20, 381, 589, 100, 154}, 1);           // by 3.7
  ExpectLikeGdal(rgb, three, {0, 0, 639, 575, 10, 9}, 1);                // by 64
  ExpectLikeGdal(rgb, {2, 0, 1}, {5, 5, 40, 40, 36, 36}, 0);             // bands in another order
}

TEST(GdalLibrary, EveryKindOfBandBecomesRgb) {
  Fixture one;
  one.bands = 1;
  Fixture four;
  four.bands = 4;
  Fixture paletted;
  paletted.paletted = true;
  Fixture wide;
  wide.type = GDT_UInt16;
  Fixture jp2;
  jp2.driver = "JP2OpenJPEG";
  struct Case {
    std::string path;
    std::vector<uint32_t> bands;
  } cases[] = {
      {Make("one.tif", one), {0}},
      {Make("four.tif", four), {0, 1, 2}},
      {Make("pal.tif", paletted), {0, 1, 2}},
      {Make("pal.tif", paletted), {1}},
      {Make("wide.tif", wide), {0, 1, 2}},
      {Make("wide.tif", wide), {2, 1}},
      {Make("img.jp2", jp2), {0, 1, 2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    ExpectLikeGdal(c.path, c.bands, {0, 0, 63, 47, 64, 48}, 0);
    ExpectLikeGdal(c.path, c.bands, {3, 4, 60, 40, 19, 12}, 1);
  }
  // Grey is the same value in all three channels.
  std::vector<uint8_t> grey = ReadView(cases[0].path, {0}, {0, 0, 63, 0, 64, 1});
  for (size_t p = 0; p < 64; ++p) ASSERT_TRUE(grey[3 * p] == grey[3 * p + 1] && grey[3 * p] == grey[3 * p + 2]);
}

TEST(GdalLibrary, FileInformationFollowsTheGeotransform) {
  Fixture paletted;
  paletted.paletted = true;
  Fixture plain;
  plain.georeferenced = false;
  plain.bands = 2;
  struct Case {
    std::string path;
    uint16_t bands;
    GeoTransform geo;
  } cases[] = {
      {Make("geo.tif", Fixture()), 3, kGeo},
      {Make("pal.tif", paletted), 3, kGeo},
      {Make("plain.tif", plain), 2, {0, 1, 0, 0, 0, 1}},
  };
  for (const Case &c : cases) {
    EcwView *view = nullptr;
    ASSERT_EQ(NCScbmOpenFileView(c.path.c_str(), &view, nullptr), 0) << c.path;
    EcwFileInfo *info = nullptr;
    ASSERT_EQ(NCScbmGetViewFileInfo(view, &info), 0);
    EXPECT_EQ(info->width, 64u);
    EXPECT_EQ(info->height, 48u);
    EXPECT_EQ(info->bands, c.bands) << c.path;
    EXPECT_EQ(info->originX, c.geo[0]);
    EXPECT_EQ(info->cellSizeX, c.geo[1]);
    EXPECT_EQ(info->originY, c.geo[3]);
    EXPECT_EQ(info->cellSizeY, c.geo[5]);
    NCScbmCloseFileView(view);
  }
}

TEST(GdalLibrary, RefusalsLeaveATrueErrno) {
  Fixture rotated;
  rotated.geo = {0, 1, 0.2, 0, 0.1, -1};
  std::string notRaster = TempDir() + "/notes.ecw";
  std::ofstream(notRaster) << "not an image";
  struct Case {
    std::string name;
    int error;
  } opens[] = {
      {TempDir() + "/missing.ecw", ENOENT},
      {notRaster, ENOTSUP},
      {Make("rotated.tif", rotated), EDOM},
  };
  for (const Case &c : opens) {
    EcwView *view = nullptr;
    errno = 0;
    EXPECT_NE(NCScbmOpenFileView(c.name.c_str(), &view, nullptr), 0) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
  }

  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(Make("geo.tif", Fixture()).c_str(), &view, nullptr), 0);
  uint32_t good[] = {0, 1, 2}, outOfRange[] = {0, 3};
  struct Set {
    uint32_t count;
    uint32_t *bands;
    int l, t, r, b, w, h;
  } sets[] = {
      {3, good, -1, 0, 10, 10, 5, 5},  {3, good, 0, 0, 64, 10, 5, 5},
      {3, good, 0, 0, 10, 48, 5, 5},   {3, good, 10, 0, 5, 10, 5, 5},
      {3, good, 0, 10, 10, 5, 5, 5},   {3, good, 0, 0, 10, 10, 0, 5},
      {3, good, 0, 0, 10, 10, 5, -1},  {2, outOfRange, 0, 0, 10, 10, 5, 5},
      {0, good, 0, 0, 10, 10, 5, 5},
  };
  for (const Set &s : sets) {
    errno = 0;
    EXPECT_NE(NCScbmSetFileView(view, s.count, s.bands, s.l, s.t, s.r, s.b, s.w, s.h), 0);
    EXPECT_EQ(errno, EINVAL);
  }
  uint8_t line[64 * 3];
  EXPECT_NE(NCScbmReadViewLineRGB(view, line), 0) << "no line before a view is set";
  NCScbmCloseFileView(view);
}

TEST(GdalLibrary, MemoryIsBoundedByTwoStrips) {
  Fixture huge;
  huge.width = 20000;
  huge.height = 2000;
  std::string path = Make("huge.tif", huge);
  ncsecwex::StripPipeline::EmptyPool();
  ncsecwex::StripPipeline::ResetPeakBytes();
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  uint32_t bands[] = {0, 1, 2};
  ASSERT_EQ(NCScbmSetFileView(view, 3, bands, 0, 0, 19999, 1999, 20000, 2000), 0);
  std::vector<uint8_t> line(20000 * 3);
  for (int y = 0; y < 2000; ++y) ASSERT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0);
  NCScbmCloseFileView(view);
  size_t peak = ncsecwex::StripPipeline::PeakBytes();
  size_t lines = ncsecwex::kMaxStripBytes / (20000 * 3);
  std::cout << "  peak strips: " << peak << " bytes (2 x " << lines << " lines of 20000 x 3)\n";
  EXPECT_LE(peak, 2 * ncsecwex::kMaxStripBytes);
  EXPECT_EQ(peak, 2 * std::min<size_t>(lines, ncsecwex::kMaxStripLines) * 20000 * 3)
      << "the strip being delivered and the next, never the whole window";
}

TEST(GdalLibrary, ALineTooLargeForMemoryIsRefused) {
  std::string path = EmptyVrt("wide.vrt", 1000000000, 1);
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  EcwFileInfo *info = nullptr;
  ASSERT_EQ(NCScbmGetViewFileInfo(view, &info), 0);
  EXPECT_EQ(info->width, 1000000000u);
  uint32_t bands[] = {0, 1, 2};
  errno = 0;
  EXPECT_NE(NCScbmSetFileView(view, 3, bands, 0, 0, 999999999, 0, 1000000000, 1), 0);
  EXPECT_EQ(errno, ENOMEM);
  // Parts of it, and all of it reduced, are read as any image.
  for (auto [left, width, window] : {std::array<int32_t, 3>{0, 1000, 1000},
                                     std::array<int32_t, 3>{999990000, 10000, 10000},
                                     std::array<int32_t, 3>{0, 1000000000, 1000}}) {
    ASSERT_EQ(NCScbmSetFileView(view, 3, bands, left, 0, left + width - 1, 0, window, 1), 0)
        << left << " " << width;
    std::vector<uint8_t> line((size_t)window * 3, 0xEE);
    EXPECT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0);
    EXPECT_EQ(*std::max_element(line.begin(), line.end()), 0);
  }
  NCScbmCloseFileView(view);
}
