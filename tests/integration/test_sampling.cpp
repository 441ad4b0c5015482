// A view's cost stays near its output's: beyond a reduction of 8 each way
// from the nearest level the image has, pixels are sampled (nearest, as
// GDAL's RasterIO does by default) rather than averaged, and the library
// says so once per image with the cure.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "cpl_string.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"

using namespace fixtures;

namespace {

// GDAL's warnings while it lives.
class Warnings {
 public:
  Warnings() { CPLPushErrorHandlerEx(&Warnings::Catch, this); }
  ~Warnings() { CPLPopErrorHandler(); }
  const std::vector<std::string> &said() const { return said_; }

 private:
  static void CPL_STDCALL Catch(CPLErr level, CPLErrorNum, const char *text) {
    if (level == CE_Warning)
      static_cast<Warnings *>(CPLGetErrorHandlerUserData())->said_.push_back(text);
  }
  std::vector<std::string> said_;
};

// `path` again as a tiled JPEG GeoTIFF, whose tiles GDAL can decode reduced.
std::string AsJpeg(const std::string &path, const std::string &name) {
  std::string out = TempDir() + "/" + name;
  GDALAllRegister();
  GDALDatasetH in = GDALOpen(path.c_str(), GA_ReadOnly);
  char **options = CSLSetNameValue(nullptr, "TILED", "YES");
  options = CSLSetNameValue(options, "COMPRESS", "JPEG");
  GDALClose(GDALCreateCopy(GDALGetDriverByName("GTiff"), out.c_str(), in, FALSE, options, nullptr,
                           nullptr));
  CSLDestroy(options);
  GDALClose(in);
  return out;
}

}  // namespace

TEST(Sampling, BeyondEightEachWayAViewSamplesStripByStripAsOneReadDoes) {
  Fixture grey, pyramid, wide;
  for (Fixture *f : {&grey, &pyramid}) {
    f->width = 3000;
    f->height = 2800;
    f->bands = 1;
  }
  pyramid.overviews = true;  // 2, 4 and 8
  // 16-bit data small enough that its stretch comes from every pixel, as the
  // oracle's does.
  wide.width = wide.height = 1000;
  wide.type = GDT_UInt16;
  const std::string greyPath = Make("sample-grey.tif", grey);
  struct Case {
    std::string path;
    Window w;
    bool sampled;
  } cases[] = {
      {greyPath, {0, 0, 2999, 2799, 300, 280}, true},    // 10 x 10, two strips
      {greyPath, {0, 0, 2399, 2047, 300, 256}, false},   // 8 x 8: still averaged
      {greyPath, {0, 0, 2399, 2799, 300, 260}, true},    // 8 x 10.8
      {greyPath, {13, 27, 2990, 2779, 37, 41}, true},    // off the blocks
      {Make("sample-pyramid.tif", pyramid), {0, 0, 2999, 2799, 300, 280}, false},  // from 8
      {Make("sample-pyramid.tif", pyramid), {0, 0, 2999, 2799, 20, 19}, true},  // beyond 8 x 8
      {Make("sample-wide.tif", wide), {0, 0, 999, 999, 100, 90}, true},
      {Make("sample-wide.tif", wide), {5, 0, 994, 999, 37, 41}, true},
      // Sampled where GDAL decodes the tiles reduced, as its own read does.
      {AsJpeg(greyPath, "sample-jpeg.tif"), {0, 0, 2999, 2799, 300, 280}, true},
      {AsJpeg(greyPath, "sample-jpeg.tif"), {11, 5, 2900, 2799, 29, 300}, true},
  };
  for (const Case &c : cases) {
    const Window &w = c.w;
    SCOPED_TRACE(c.path + " " + std::to_string(w.width) + "x" + std::to_string(w.height));
    int sw = w.right - w.left + 1, sh = w.bottom - w.top + 1;
    GDALDatasetH ds = GDALOpen(c.path.c_str(), GA_ReadOnly);
    EXPECT_EQ(Sampled(GDALGetRasterBand(ds, 1), w.left, w.top, sw, sh, w.width, w.height),
              c.sampled);
    GDALClose(ds);
    std::vector<uint8_t> got = ReadView(c.path, {0}, w);
    EXPECT_EQ(MaxDifference(got, Oracle(c.path, {0}, w.left, w.top, w.right, w.bottom, w.width,
                                        w.height)),
              0);
  }
}

TEST(Sampling, TheLibrarySaysSoOncePerImageWithTheCure) {
  Fixture f;
  f.width = 900;
  f.height = 600;
  std::string first = Make("noted-first.tif", f), second = Make("noted-second.tif", f);
  Warnings warnings;
  ReadView(first, {0, 1, 2}, {0, 0, 899, 599, 100, 66});   // 9 x 9: sampled
  ReadView(first, {0, 1, 2}, {0, 0, 899, 599, 30, 20});    // again: no second note
  ReadView(second, {0, 1, 2}, {0, 0, 899, 599, 300, 200});  // 3 x 3: averaged, no note
  ASSERT_EQ(warnings.said().size(), 1u);
  const std::string &note = warnings.said()[0];
  EXPECT_NE(note.find("'" + first + "' has no overview near this view's scale"), std::string::npos)
      << note;
  EXPECT_NE(note.find("sample its pixels rather than average them"), std::string::npos) << note;
  EXPECT_NE(note.find("gdaladdo -r average '" + first + "'"), std::string::npos) << note;
  ReadView(second, {0, 1, 2}, {0, 0, 899, 599, 90, 60});
  EXPECT_EQ(warnings.said().size(), 2u) << "the second image has its own note";
}

TEST(Sampling, AGiantImageWithoutOverviewsIsViewedWhole) {
  // 200 000 x 100 000 pixels, tiled, none of its tiles written: a file of a
  // few MiB whose average would visit 60 000 million samples.
  GDALAllRegister();  // when this test runs alone
  std::string path = TempDir() + "/giant.tif";
  char **options = CSLSetNameValue(nullptr, "TILED", "YES");
  options = CSLSetNameValue(options, "SPARSE_OK", "TRUE");
  options = CSLSetNameValue(options, "BIGTIFF", "YES");
  GDALClose(GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), 200000, 100000, 3, GDT_Byte,
                       options));
  CSLDestroy(options);
  Warnings warnings;
  auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> got = ReadView(path, {0, 1, 2}, {0, 0, 199999, 99999, 256, 128});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "  whole view of 200000 x 100000 at 256 x 128: " << seconds << " s\n";
  ASSERT_EQ(got.size(), 256u * 128 * 3);
  EXPECT_EQ(*std::max_element(got.begin(), got.end()), 0);
  ASSERT_EQ(warnings.said().size(), 1u);
  EXPECT_NE(warnings.said()[0].find("gdaladdo"), std::string::npos);
}
