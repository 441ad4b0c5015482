// The library's image cache: shared datasets, their bounds, and freshness.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cache.h"
#include "memory.h"
#include "cpl_conv.h"
#include "cpl_vsi.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

// Every line of a 1:1 view of the whole image.
std::vector<uint8_t> WholeView(const std::string &path, uint32_t *width = nullptr) {
  EcwView *view = nullptr;
  if (NCScbmOpenFileView(path.c_str(), &view, nullptr) != 0) return {};
  EcwFileInfo *info = nullptr;
  NCScbmGetViewFileInfo(view, &info);
  int w = (int)info->width, h = (int)info->height;
  if (width != nullptr) *width = info->width;
  uint32_t bands[] = {0, 1, 2};
  std::vector<uint8_t> all;
  if (NCScbmSetFileView(view, 3, bands, 0, 0, w - 1, h - 1, w, h) == 0) {
    std::vector<uint8_t> line((size_t)w * 3);
    for (int y = 0; y < h && NCScbmReadViewLineRGB(view, line.data()) == 0; ++y)
      all.insert(all.end(), line.begin(), line.end());
  }
  NCScbmCloseFileView(view);
  return all;
}

std::vector<uint8_t> WholeOracle(const std::string &path, int w, int h) {
  return Oracle(path, {0, 1, 2}, 0, 0, w - 1, h - 1, w, h);
}

// A fixture whose pattern is shifted by `shift`, so two of them differ.
Fixture Shifted(int width, int height, int shift) {
  Fixture f;
  f.width = width;
  f.height = height;
  f.value = [shift](int, int, int, double v) { return fmod(v + shift, 256.0); };
  return f;
}

class GdalCache : public ::testing::Test {
 protected:
  void SetUp() override { ncsecwex::CloseIdleImages(); }
  void TearDown() override { ncsecwex::CloseIdleImages(); }
};

}  // namespace

TEST_F(GdalCache, ProbesOpensAndViewsOfOneNameShareOneDataset) {
  std::string path = Make("shared.tif", Fixture());
  size_t before = ncsecwex::CountImages().opened;
  for (int i = 0; i < 5; ++i) {
    EcwView *view = nullptr;
    ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
    EXPECT_EQ(ncsecwex::CountImages().lent, 1u);
    NCScbmCloseFileView(view);
    EXPECT_EQ(ncsecwex::CountImages().idle, 1u);
  }
  EXPECT_EQ(WholeView(path), WholeOracle(path, 64, 48));
  EXPECT_EQ(ncsecwex::CountImages().opened, before + 1) << "opened once, lent six times";
}

TEST_F(GdalCache, AViewInUseIsNeverLentToASecondView) {
  Fixture tall;
  tall.width = 200;
  tall.height = 700;  // several strips, so that both views read ahead
  std::string path = Make("twice.tif", tall);
  size_t before = ncsecwex::CountImages().opened;
  EcwView *a = nullptr, *b = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &a, nullptr), 0);
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &b, nullptr), 0);
  ncsecwex::CacheCounts counts = ncsecwex::CountImages();
  EXPECT_EQ(counts.lent, 2u);
  EXPECT_EQ(counts.opened, before + 2) << "two views at once, two datasets";
  // Both read at once, a line of each in turn, and each delivers its window.
  uint32_t bands[] = {0, 1, 2};
  ASSERT_EQ(NCScbmSetFileView(a, 3, bands, 0, 0, 199, 699, 200, 700), 0);
  ASSERT_EQ(NCScbmSetFileView(b, 3, bands, 10, 5, 189, 694, 90, 345), 0);
  std::vector<uint8_t> gotA, gotB, line(200 * 3);
  for (int y = 0; y < 700; ++y) {
    ASSERT_EQ(NCScbmReadViewLineRGB(a, line.data()), 0);
    gotA.insert(gotA.end(), line.begin(), line.end());
    if (y < 345) {
      ASSERT_EQ(NCScbmReadViewLineRGB(b, line.data()), 0);
      gotB.insert(gotB.end(), line.begin(), line.begin() + 90 * 3);
    }
  }
  NCScbmCloseFileView(a);
  NCScbmCloseFileView(b);
  EXPECT_EQ(gotA, WholeOracle(path, 200, 700));
  EXPECT_LE(MaxDifference(gotB, Oracle(path, {0, 1, 2}, 10, 5, 189, 694, 90, 345)), 1);
  EXPECT_EQ(ncsecwex::CountImages().idle, 2u);
}

TEST_F(GdalCache, IdleDatasetsNeverExceedTheLimit) {
  const size_t n = ncsecwex::kMaxIdleImages + 3;
  std::vector<std::string> paths;
  for (size_t i = 0; i < n; ++i) paths.push_back(Make("idle" + std::to_string(i) + ".tif", Fixture()));
  // All lent at once: none idle, none closed.
  std::vector<EcwView *> views(n);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(NCScbmOpenFileView(paths[i].c_str(), &views[i], nullptr), 0);
  EXPECT_EQ(ncsecwex::CountImages().lent, n);
  for (size_t i = 0; i < n; ++i) {
    NCScbmCloseFileView(views[i]);
    ncsecwex::CacheCounts counts = ncsecwex::CountImages();
    EXPECT_LE(counts.idle, ncsecwex::kMaxIdleImages) << "after " << i + 1 << " closes";
    EXPECT_EQ(counts.lent, n - i - 1);
  }
  EXPECT_EQ(ncsecwex::CountImages().idle, ncsecwex::kMaxIdleImages);
  // The least recently used went first: the last ones opened are still kept.
  size_t before = ncsecwex::CountImages().opened;
  EXPECT_FALSE(WholeView(paths[n - 1]).empty());
  EXPECT_EQ(ncsecwex::CountImages().opened, before);
  EXPECT_FALSE(WholeView(paths[0]).empty());
  EXPECT_EQ(ncsecwex::CountImages().opened, before + 1);
}

TEST_F(GdalCache, ARewrittenFileIsReadAgain) {
  // Each way a file changes under its name: replaced by another file,
  // rewritten in place at another size, rewritten in place at the same size
  // (only its times change).
  enum How { kReplaced, kOtherSize, kSameSize };
  for (How how : {kReplaced, kOtherSize, kSameSize}) {
    SCOPED_TRACE(how);
    std::string path = Make("rewritten.tif", Shifted(64, 48, 0));
    ASSERT_EQ(WholeView(path), WholeOracle(path, 64, 48));
    EXPECT_EQ(ncsecwex::CountImages().idle, 1u);
    int width = how == kOtherSize ? 80 : 64;
    std::string fresh = Make("fresh.tif", Shifted(width, 48, 100));
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    if (how == kReplaced) {
      ASSERT_EQ(rename(fresh.c_str(), path.c_str()), 0);
    } else {
      std::string cmd = "cat '" + fresh + "' > '" + path + "'";
      ASSERT_EQ(system(cmd.c_str()), 0);
    }
    if (how == kSameSize) {
      // The same inode and size: only the times tell. Set a modification
      // time unlike the first, whatever the clock's granularity.
      struct timespec times[2] = {before.st_atim, before.st_mtim};
      times[1].tv_sec -= 7;
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
      struct stat after;
      ASSERT_EQ(stat(path.c_str(), &after), 0);
      ASSERT_EQ(after.st_ino, before.st_ino);
      ASSERT_EQ(after.st_size, before.st_size);
    }
    uint32_t seen = 0;
    std::vector<uint8_t> got = WholeView(path, &seen);
    EXPECT_EQ(seen, (uint32_t)width);
    EXPECT_EQ(got, WholeOracle(path, width, 48)) << "the new pixels, not the cached ones";
    ncsecwex::CloseIdleImages();
  }
}

TEST_F(GdalCache, ADeletedFileFailsToOpenAsAnyMissingFile) {
  std::string path = Make("deleted.tif", Fixture());
  ASSERT_FALSE(WholeView(path).empty());
  ASSERT_EQ(ncsecwex::CountImages().idle, 1u);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EcwView *view = nullptr;
  errno = 0;
  EXPECT_NE(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ncsecwex::CountImages().idle, 0u) << "the stale dataset is closed";
}

TEST_F(GdalCache, NamesThatAreNotLocalFilesAreNotKeptPastTheirView) {
  // A dataset in GDAL's memory file system stands for any /vsi name.
  std::string local = Make("copied.tif", Fixture());
  std::string name = "/vsimem/rhl-cache-test.tif";
  ASSERT_EQ(CPLCopyFile(name.c_str(), local.c_str()), 0);
  size_t before = ncsecwex::CountImages().opened;
  EXPECT_EQ(WholeView(name), WholeOracle(local, 64, 48));
  EXPECT_EQ(ncsecwex::CountImages().idle, 0u);
  EXPECT_EQ(WholeView(name), WholeOracle(local, 64, 48));
  EXPECT_EQ(ncsecwex::CountImages().opened, before + 2) << "opened afresh for each view";
  VSIUnlink(name.c_str());
}

TEST_F(GdalCache, GdalsBlockCacheHasAStatedSizeUnlessTheUserSetOne) {
  ASSERT_FALSE(WholeView(Make("sized.tif", Fixture())).empty());
  const char *user = getenv("GDAL_CACHEMAX");
  if (user == nullptr) {
    EXPECT_EQ(GDALGetCacheMax64(), ncsecwex::kBlockCacheBytes);
  } else {
    // Run so by ctest: GDAL_CACHEMAX=100 means 100 MB to GDAL.
    EXPECT_EQ(GDALGetCacheMax64(), (GIntBig)atoi(user) * 1024 * 1024) << user;
  }
}
