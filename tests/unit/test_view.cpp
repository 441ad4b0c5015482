#include <errno.h>
#include <string.h>

#include "platform/platform.h"
#include "support.h"

using fake::Op;

class View : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(HandlerOpen(&raster_, "img.ecw", 0), 1);
    fake::ClearCalls();
  }
  int32_t Begin(RhlRect destination, RhlRect source, double scale) {
    width_ = -12345;
    return HandlerBeginView(&raster_, &destination, &source, scale, &width_);
  }
  int32_t Read(int32_t index) {
    line_ = nullptr;
    flag_ = 0x7777;
    return HandlerReadLine(&raster_, index, &line_, &flag_);
  }
  fake::Call LastSetView() {
    auto calls = fake::CallsOf(Op::SetView);
    return calls.empty() ? fake::Call(Op::SetView) : calls.back();
  }
  // The code a failing entry must leave alone.
  void MarkCode() { raster_.errorCode = 0xC0DE; }

  int32_t width_ = 0;
  uint8_t *line_ = nullptr;
  uint16_t flag_ = 0;
  const RhlRect whole_{0, 0, 100, 50};
};

TEST_F(View, WindowIsTheSourceAtScaleOneElseNoLargerThanTheDestination) {
  struct Case {
    RhlRect destination, source;
    double scale;
    int32_t width, height;
  } cases[] = {
      {{0, 0, 10, 10}, {0, 0, 100, 50}, 1.0, 100, 50},
      {{0, 0, 200, 100}, {0, 0, 400, 300}, 0.5, 200, 100},
      {{0, 0, 800, 600}, {0, 0, 400, 300}, 2.0, 400, 300},
      {{5, 5, 205, 55}, {10, 20, 110, 70}, 0.999, 100, 50},
      {{0, 0, 30, 500}, {0, 0, 60, 40}, 0.25, 30, 40},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(Begin(c.destination, c.source, c.scale), 1);
    EXPECT_EQ(width_, c.width);
    fake::Call set = LastSetView();
    EXPECT_EQ(set.width, c.width);
    EXPECT_EQ(set.height, c.height);
    EXPECT_EQ(set.left, c.source.left);
    EXPECT_EQ(set.top, c.source.top);
    EXPECT_EQ(set.right, c.source.right - 1) << "corners are inclusive";
    EXPECT_EQ(set.bottom, c.source.bottom - 1);
    EXPECT_EQ(HandlerEndView(&raster_), 1);
  }
  EXPECT_TRUE(boxes().empty());
}

TEST_F(View, BandsAreCappedAtThreeAndListedFromZero) {
  for (uint16_t bands : {1, 2, 3, 4, 7}) {
    fake::SetInfo(100, 50, bands);
    ASSERT_EQ(Begin(whole_, whole_, 1.0), 1);
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < (bands > 3 ? 3u : bands); ++i) expected.push_back(i);
    EXPECT_EQ(LastSetView().bands, expected);
    // The whole buffer, (bands + 1) x width x 2 bytes, is the host's to read.
    ASSERT_EQ(Read(-1), 1);
    size_t size = (expected.size() + 1) * 100 * 2;
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(line_[i], 0) << "byte " << i;
    HandlerEndView(&raster_);
  }
}

TEST_F(View, LinesComeFromTheLibraryOncePerNewIndex) {
  raster_.errorCode = 9;
  ASSERT_EQ(Begin(whole_, {10, 20, 14, 23}, 1.0), 1);
  EXPECT_EQ(raster_.errorCode, 0u);
  ASSERT_EQ(Read(-1), 1) << "index -1 right after begin needs no read";
  EXPECT_TRUE(fake::CallsOf(Op::ReadLine).empty());
  uint8_t *buffer = line_;
  for (int row = 0; row < 3; ++row) {
    raster_.errorCode = 9;
    ASSERT_EQ(Read(row), 1);
    ASSERT_EQ(Read(row), 1) << "a repeated index is answered from the buffer";
    EXPECT_EQ(line_, buffer) << "the same buffer for every line";
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(raster_.errorCode, 0u);
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 3; ++k) ASSERT_EQ(line_[3 * c + k], fake::Pixel(row, c, k));
  }
  EXPECT_EQ(fake::CallsOf(Op::ReadLine).size(), 3u);

  MarkCode();
  EXPECT_EQ(Read(3), 0) << "the library has no fourth line";
  EXPECT_EQ(line_, buffer) << "the address is written before the read";
  EXPECT_EQ(flag_, 0x7777) << "the flag is not";
  EXPECT_EQ(raster_.errorCode, 0xC0DEu);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error reading line from ECW file")}));
  EXPECT_EQ(raster_.viewState->currentLine, 2);
  EXPECT_EQ(HandlerEndView(&raster_), 1);
}

TEST_F(View, EachSetUpFailureShowsItsBoxClosesTheViewAndKeepsTheCode) {
  const RhlRect source{10, 20, 110, 70};
  const std::string setViewText =
      "Error while setting file view to 3 bands, TL[10,20] BR[110,70], Window size [100,50]";
  struct Case {
    Op op;
    PlatOp platformFault;
    std::string text;
  } cases[] = {
      {Op::Open, PLAT_OP_NONE, "ERROR opening view into ECW file: 'img.ecw' (" + ErrorText(EACCES) + ")"},
      {Op::GetInfo, PLAT_OP_NONE, "Error getting view into ECW file: 'img.ecw'"},
      {Op::Close, PLAT_OP_ALLOC, "Error - unable to malloc band list"},
      {Op::SetView, PLAT_OP_NONE, setViewText},
      {Op::Close, PLAT_OP_NONE, "Malloc error for output buffers"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    fake::ClearCalls();
    size_t before = boxes().size();
    if (c.platformFault != PLAT_OP_NONE) {
      PlatFailNext(c.platformFault, 0, ENOMEM);
    } else if (c.op == Op::Close) {
      PlatFailNext(PLAT_OP_ALLOC, 1, ENOMEM);  // band list fine, line buffer not
    } else {
      fake::Fail(c.op, EACCES);
    }
    MarkCode();
    EXPECT_EQ(Begin({0, 0, 100, 50}, source, 1.0), 0);
    EXPECT_EQ(width_, -12345);
    EXPECT_EQ(raster_.errorCode, 0xC0DEu);
    ASSERT_EQ(boxes().size(), before + 1);
    EXPECT_EQ(boxes().back(), ErrorBox(c.text));
    EXPECT_EQ(fake::OpenViews(), 0) << "what the failed set-up opened is closed";
    // Nothing is read, ended or closed again through what the failure left.
    EXPECT_EQ(Read(0), 0);
    EXPECT_EQ(HandlerEndView(&raster_), 1);
    EXPECT_EQ(fake::CallsOf(Op::ReadLine).size(), 0u);
  }
}

TEST_F(View, NothingToViewIsRefusedBeforeAnyAllocation) {
  struct Case {
    uint16_t bands;
    RhlRect destination, source;
    double scale;
    std::string text;
  } cases[] = {
      {0, whole_, whole_, 1.0,
       "Error while setting file view to 0 bands, TL[0,0] BR[100,50], Window size [100,50]"},
      {3, whole_, {10, 10, 10, 20}, 1.0,
       "Error while setting file view to 3 bands, TL[10,10] BR[10,20], Window size [0,10]"},
      {3, whole_, {10, 10, 5, 20}, 1.0,
       "Error while setting file view to 3 bands, TL[10,10] BR[5,20], Window size [-5,10]"},
      {3, {0, 0, 0, 0}, whole_, 0.5,
       "Error while setting file view to 3 bands, TL[0,0] BR[100,50], Window size [0,0]"},
  };
  for (const Case &c : cases) {
    fake::SetInfo(100, 50, c.bands);
    fake::ClearCalls();
    PlatFailNext(PLAT_OP_ALLOC, 0, ENOMEM);  // any allocation would fail and show another box
    EXPECT_EQ(Begin(c.destination, c.source, c.scale), 0);
    EXPECT_EQ(boxes().back(), ErrorBox(c.text));
    EXPECT_TRUE(fake::CallsOf(Op::SetView).empty());
    EXPECT_EQ(fake::OpenViews(), 0);
  }
  PlatFailNext(PLAT_OP_NONE, 0, 0);
  EXPECT_EQ(boxes().size(), 4u);
}

TEST_F(View, HostsCallingOutOfOrderNeverReachAClosedOrNullView) {
  // Read and end before any begin.
  EXPECT_EQ(Read(0), 0);
  EXPECT_EQ(line_, nullptr);
  EXPECT_EQ(HandlerEndView(&raster_), 1);
  // Begin twice: the first view is ended by the second.
  ASSERT_EQ(Begin(whole_, whole_, 1.0), 1);
  ASSERT_EQ(Read(0), 1);
  ASSERT_EQ(Begin(whole_, {0, 0, 50, 25}, 1.0), 1);
  EXPECT_EQ(fake::OpenViews(), 1);
  ASSERT_EQ(Read(0), 1);
  EXPECT_EQ(fake::Calls().back().view, fake::CallsOf(Op::Open).back().view);
  // End twice, then read after the end.
  EXPECT_EQ(HandlerEndView(&raster_), 1);
  EXPECT_EQ(HandlerEndView(&raster_), 1);
  EXPECT_EQ(fake::OpenViews(), 0);
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(fake::CallsOf(Op::Close).size(), 2u) << "each view closed exactly once";
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error reading line from ECW file"),
                            ErrorBox("Error reading line from ECW file")}));
}

TEST_F(View, ViewEntriesOnAFailedOpenTouchNothing) {
  fake::Fail(Op::Open, ENOENT);
  ASSERT_EQ(HandlerOpen(&raster_, "img.ecw", 0), 0);
  fake::ClearCalls();
  size_t before = boxes().size();
  EXPECT_EQ(Begin(whole_, whole_, 1.0), 0);
  EXPECT_EQ(Read(0), 0);
  EXPECT_EQ(HandlerEndView(&raster_), 1);
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(HandlerGetLastError(&raster_), 0u) << "end-view always sets 0";
  ASSERT_EQ(boxes().size(), before + 2);
  EXPECT_EQ(boxes()[before], ErrorBox("Error - no ECW file is open for this view"));

  // A record whose pointer the module never handed out is not read either.
  Raster stranger{};
  stranger.viewState = reinterpret_cast<ViewState *>(&stranger);
  RhlRect r = whole_;
  int32_t w = 0;
  EXPECT_EQ(HandlerBeginView(&stranger, &r, &r, 1.0, &w), 0);
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(View, NullRecordIsReportedNotRead) {
  RhlRect r = whole_;
  int32_t w = 0;
  uint8_t *line = nullptr;
  uint16_t flag = 0;
  EXPECT_EQ(HandlerBeginView(nullptr, &r, &r, 1.0, &w), 0);
  EXPECT_EQ(HandlerReadLine(nullptr, 0, &line, &flag), 0);
  EXPECT_EQ(HandlerEndView(nullptr), 1);
  ASSERT_EQ(boxes().size(), 3u);
  for (const Box &b : boxes()) {
    EXPECT_EQ(b.caption, "RXAssert failed");
    EXPECT_EQ(b.text.rfind("RXAssert: pRaster!=NULL, view, ", 0), 0u);
  }
}

TEST_F(View, LineBufferSizeCannotOverflow) {
  if (sizeof(size_t) > 4) GTEST_SKIP() << "8 x 2^31 bytes fit a 64-bit size";
  fake::SetInfo(0x7FFFFFFF, 1, 3);
  ASSERT_EQ(Begin({0, 0, 0x7FFFFFFF, 1}, {0, 0, 0x7FFFFFFF, 1}, 1.0), 0);
  EXPECT_EQ(boxes().back(), ErrorBox("Malloc error for output buffers"));
  EXPECT_EQ(fake::OpenViews(), 0);
}

TEST_F(View, ANameWithoutItsTerminatorIsNotReadPastTheField) {
  ASSERT_EQ(Begin(whole_, whole_, 1.0), 1);
  ASSERT_EQ(Read(0), 1);
  fake::ClearCalls();
  memset(raster_.name, 'x', sizeof raster_.name);  // the host wrote over the name
  EXPECT_EQ(Begin(whole_, whole_, 1.0), 0);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error - no ECW file is open for this view")}));
  EXPECT_EQ(fake::CallsOf(Op::Open).size(), 0u) << "the name is not read";
  EXPECT_EQ(fake::OpenViews(), 0) << "the view the host left open is ended by the refused begin";
  EXPECT_EQ(Read(1), 0) << "no line of the old view after a failed begin";
  EXPECT_EQ(HandlerEndView(&raster_), 1);
  EXPECT_EQ(fake::CallsOf(Op::Close).size(), 1u) << "the old view is closed once";
}
