// Strips read one ahead on a worker: the pipeline on its own, and views
// through the library across strip boundaries, stopped and failing.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "pipeline.h"
#include "strip.h"

using namespace fixtures;
using ncsecwex::StripPipeline;

namespace {

// Fills a strip with its first line's number in every byte.
bool Fill(int first, int count, uint8_t *buffer, size_t lineBytes) {
  memset(buffer, first & 0xFF, (size_t)count * lineBytes);
  return true;
}

}  // namespace

TEST(StripPipeline, DeliversEveryStripInOrderFromTwoBuffers) {
  struct Case {
    int lines, stripLines;
  } cases[] = {{1, 1}, {7, 100}, {10, 3}, {256, 256}, {1000, 256}, {513, 1}};
  const size_t lineBytes = 16;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " lines in strips of " + std::to_string(c.stripLines));
    std::atomic<const uint8_t *> held{nullptr};
    std::atomic<int> reads{0}, overlaps{0};
    auto read = [&](int first, int count, uint8_t *buffer, const std::atomic<bool> &) {
      if (buffer == held.load()) ++overlaps;  // the buffer the host is taking
      ++reads;
      return Fill(first, count, buffer, lineBytes);
    };
    StripPipeline::EmptyPool();
    StripPipeline::ResetPeakBytes();
    StripPipeline pipeline;
    ASSERT_TRUE(pipeline.Start(c.lines, c.stripLines, c.stripLines * lineBytes, read));
    for (int line = 0; line < c.lines; ++line) {
      int first = -1;
      if (line % c.stripLines == 0) held = nullptr;  // the last strip goes back
      const uint8_t *strip = pipeline.Strip(line, &first);
      ASSERT_NE(strip, nullptr) << "line " << line;
      held = strip;
      EXPECT_EQ(first, line / c.stripLines * c.stripLines);
      EXPECT_EQ(strip[(size_t)(line - first) * lineBytes], first & 0xFF) << "line " << line;
    }
    int first = 0;
    EXPECT_EQ(pipeline.Strip(c.lines, &first), nullptr) << "no line past the last";
    pipeline.Stop();
    int strips = (c.lines + c.stripLines - 1) / c.stripLines;
    EXPECT_EQ(reads, strips) << "each strip read once";
    EXPECT_EQ(overlaps, 0) << "never into the strip being delivered";
    EXPECT_EQ(StripPipeline::PeakBytes(), (strips > 1 ? 2u : 1u) * c.stripLines * lineBytes);
  }
}

TEST(StripPipeline, AFailedStripFailsItsLinesAndEveryLaterOne) {
  for (int failing : {0, 1, 3}) {
    SCOPED_TRACE(failing);
    auto read = [&](int first, int count, uint8_t *buffer, const std::atomic<bool> &) {
      return first / 10 != failing && Fill(first, count, buffer, 4);
    };
    StripPipeline pipeline;
    ASSERT_TRUE(pipeline.Start(50, 10, 40, read));
    int first = 0;
    for (int line = 0; line < failing * 10; ++line) ASSERT_NE(pipeline.Strip(line, &first), nullptr);
    EXPECT_EQ(pipeline.Strip(failing * 10, &first), nullptr);
    EXPECT_EQ(pipeline.Strip(failing * 10, &first), nullptr) << "asked again";
  }
}

TEST(StripPipeline, StopEndsAReadInProgress) {
  std::atomic<bool> reading{false}, sawStop{false};
  auto read = [&](int first, int count, uint8_t *buffer, const std::atomic<bool> &stop) {
    if (first > 0) {  // the second strip waits for the stop, as a slow read would
      reading = true;
      while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sawStop = true;
      return false;
    }
    return Fill(first, count, buffer, 8);
  };
  StripPipeline pipeline;
  ASSERT_TRUE(pipeline.Start(100, 10, 80, read));
  int first = 0;
  ASSERT_NE(pipeline.Strip(0, &first), nullptr);
  while (!reading.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  pipeline.Stop();
  EXPECT_TRUE(sawStop);
  // Started again, it reads from the start.
  ASSERT_TRUE(pipeline.Start(5, 10, 80, [](int f, int c, uint8_t *b, const std::atomic<bool> &) {
    return Fill(f, c, b, 8);
  }));
  EXPECT_NE(pipeline.Strip(4, &first), nullptr);
}

TEST(GdalLibrary, StripsReadAheadDeliverWhatOneReadOfTheWindowDoes) {
  Fixture rgb, grey, paletted, wide;
  for (Fixture *f : {&rgb, &grey, &paletted, &wide}) {
    f->width = 300;
    f->height = 1100;  // five strips of 256 lines at 1:1
  }
  grey.bands = 1;
  paletted.paletted = true;
  wide.type = GDT_UInt16;
  struct Case {
    std::string path;
    std::vector<uint32_t> bands;
  } cases[] = {
      {Make("tall-rgb.tif", rgb), {0, 1, 2}},
      {Make("tall-grey.tif", grey), {0}},
      {Make("tall-pal.tif", paletted), {0, 1, 2}},
      {Make("tall-wide.tif", wide), {0, 1, 2}},
  };
  struct Window {
    int l, t, r, b, w, h;
  } windows[] = {
      {0, 0, 299, 1099, 300, 1100},   // 1:1, the whole image
      {7, 250, 290, 1030, 284, 781},  // 1:1, strips not on the image's blocks
      {0, 0, 299, 1099, 150, 550},    // by 2, three strips
  };
  for (const Case &c : cases) {
    for (const Window &w : windows) {
      SCOPED_TRACE(c.path + " " + std::to_string(w.w) + "x" + std::to_string(w.h));
      EcwView *view = nullptr;
      ASSERT_EQ(NCScbmOpenFileView(c.path.c_str(), &view, nullptr), 0);
      std::vector<uint32_t> bands = c.bands;
      ASSERT_EQ(NCScbmSetFileView(view, (uint32_t)bands.size(), bands.data(), w.l, w.t, w.r, w.b,
                                  w.w, w.h),
                0);
      std::vector<uint8_t> got, line((size_t)w.w * 3);
      for (int y = 0; y < w.h; ++y) {
        ASSERT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0) << "line " << y;
        got.insert(got.end(), line.begin(), line.end());
      }
      NCScbmCloseFileView(view);
      EXPECT_EQ(got, Oracle(c.path, c.bands, w.l, w.t, w.r, w.b, w.w, w.h));
    }
  }
}

TEST(GdalLibrary, AViewSetAgainOrClosedMidWayStopsItsWorker) {
  Fixture tall;
  tall.width = 400;
  tall.height = 2000;
  std::string path = Make("restart.tif", tall);
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  uint32_t bands[] = {0, 1, 2};
  std::vector<uint8_t> line(400 * 3);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(NCScbmSetFileView(view, 3, bands, 0, 0, 399, 1999, 400, 2000), 0);
    for (int y = 0; y < 300 + round * 200; ++y) ASSERT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0);
  }
  // Set again, to another window: it starts from that window's first line.
  ASSERT_EQ(NCScbmSetFileView(view, 3, bands, 100, 900, 399, 1999, 300, 1100), 0);
  std::vector<uint8_t> got;
  for (int y = 0; y < 1100; ++y) {
    ASSERT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0);
    got.insert(got.end(), line.begin(), line.begin() + 300 * 3);
  }
  EXPECT_EQ(got, Oracle(path, {0, 1, 2}, 100, 900, 399, 1999, 300, 1100));
  // Closed with the worker reading ahead.
  ASSERT_EQ(NCScbmSetFileView(view, 3, bands, 0, 0, 399, 1999, 400, 2000), 0);
  ASSERT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0);
  EXPECT_EQ(NCScbmCloseFileView(view), 0);
}

TEST(GdalLibrary, AFileCutShortUnderAViewFailsItsLaterLines) {
  Fixture tall;
  tall.width = 300;
  tall.height = 1500;  // six strips: at most two are read ahead
  std::string path = Make("cut.tif", tall);
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  uint32_t bands[] = {0, 1, 2};
  ASSERT_EQ(NCScbmSetFileView(view, 3, bands, 0, 0, 299, 1499, 300, 1500), 0);
  ASSERT_EQ(truncate(path.c_str(), 4096), 0);
  std::vector<uint8_t> line(300 * 3);
  int firstFailure = -1;
  for (int y = 0; y < 1500; ++y) {
    errno = 0;
    int result = NCScbmReadViewLineRGB(view, line.data());
    if (firstFailure < 0 && result != 0) {
      firstFailure = y;
      EXPECT_EQ(errno, EIO);
    }
    if (firstFailure >= 0) {
      EXPECT_NE(result, 0) << "line " << y << " after a failed one";
    }
  }
  EXPECT_GE(firstFailure, 0);
  EXPECT_LE(firstFailure, 2 * ncsecwex::kMaxStripLines);
  EXPECT_EQ(NCScbmCloseFileView(view), 0);
}
