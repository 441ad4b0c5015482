// Which view state a record may use: only the one made for that very record,
// however the host copies, reopens or reuses records and whatever addresses
// the allocator hands out again.
#include <errno.h>
#include <string.h>

#include <set>
#include <vector>

#include "platform/platform.h"
#include "support.h"

using fake::Op;

// The suite runs without AddressSanitizer's quarantine, so that a released
// block's address comes straight back, as the host's own allocator gives it.
#if !defined(_WIN32)
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}
#endif

class States : public ModuleTest {
 protected:
  void TearDown() override {
    for (Raster &r : records_)
      if (ViewState *state = ViewStateMadeFor(&r)) ReleaseViewState(state);
    for (RegistrationBlock *block : blocks_) PlatFree(block);
    ModuleTest::TearDown();
  }
  int32_t Open(Raster &r, const char *name) {
    int32_t ok = HandlerOpen(&r, name, 0);
    if (ok) blocks_.insert(r.registration);  // the host's to keep or drop
    return ok;
  }
  int32_t Begin(Raster &r) {
    RhlRect rect{0, 0, 10, 5};
    int32_t width = 0;
    return HandlerBeginView(&r, &rect, &rect, 1.0, &width);
  }
  int32_t Read(Raster &r, int32_t index) {
    uint8_t *line = nullptr;
    uint16_t flag = 0;
    return HandlerReadLine(&r, index, &line, &flag);
  }

  Raster records_[12]{};
  Raster &a_ = records_[0], &b_ = records_[1];
  std::set<RegistrationBlock *> blocks_;
  const Box noFile_ = ErrorBox("Error - no ECW file is open for this view");
};

TEST_F(States, ACopiedRecordIsNotTakenForTheOriginal) {
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  memcpy(&b_, &a_, sizeof b_);
  fake::ClearCalls();
  EXPECT_EQ(Begin(b_), 0);
  EXPECT_EQ(Read(b_, 0), 0);
  EXPECT_EQ(HandlerEndView(&b_), 1);
  EXPECT_TRUE(fake::Calls().empty()) << "the copy reached the original's state";
  EXPECT_EQ(boxes().front(), noFile_);

  ASSERT_EQ(Begin(a_), 1);
  EXPECT_EQ(HandlerEndView(&b_), 1);
  EXPECT_EQ(fake::OpenViews(), 1) << "ending the copy's view ended the original's";
  EXPECT_EQ(Read(a_, 0), 1);
  EXPECT_EQ(HandlerEndView(&a_), 1);
}

TEST_F(States, ReopeningTheOriginalLeavesTheCopyRefusedAndOpenable) {
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  memcpy(&b_, &a_, sizeof b_);
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  // The new state may well sit where the released one was, which the copy
  // still names.
  RecordProperty("address_reused", a_.viewState == b_.viewState ? "yes" : "no");
  ASSERT_EQ(Open(b_, "b.ecw"), 1) << "the copy opens as a record of its own";
  EXPECT_NE(b_.viewState, a_.viewState);

  ASSERT_EQ(Begin(a_), 1);
  ASSERT_EQ(Begin(b_), 1);
  EXPECT_EQ(fake::OpenViews(), 2);
  EXPECT_EQ(Read(a_, 0), 1);
  EXPECT_EQ(Read(b_, 0), 1);
  EXPECT_EQ(HandlerEndView(&b_), 1);
  EXPECT_EQ(fake::OpenViews(), 1) << "ending the copy's view ended the original's";
  EXPECT_EQ(Read(a_, 1), 1);
  ASSERT_EQ(Open(b_, "b.ecw"), 1);
  EXPECT_EQ(Read(a_, 2), 1) << "reopening the copy touched the original";
  EXPECT_EQ(HandlerEndView(&a_), 1);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(States, AFailedOpenOfTheCopyReleasesNothingTwice) {
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  memcpy(&b_, &a_, sizeof b_);
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  fake::Fail(Op::Open, ENOENT);
  EXPECT_EQ(Open(b_, "b.ecw"), 0);
  EXPECT_EQ(HandlerGetLastError(&b_), 5u);
  EXPECT_EQ(b_.viewState, nullptr);
  EXPECT_EQ(Begin(a_), 1) << "the original's state survived";
  EXPECT_EQ(HandlerEndView(&a_), 1);
}

TEST_F(States, AStalePointerIsRefusedWhenItsAddressComesBackForAnotherRecord) {
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  memcpy(&b_, &a_, sizeof b_);
  ASSERT_EQ(Open(a_, "a.tif"), 0) << "a failed reopen releases the state the copy names";
  ViewState *stale = b_.viewState;
  bool reused = false;
  for (size_t i = 2; i < sizeof records_ / sizeof records_[0] && !reused; ++i) {
    ASSERT_EQ(Open(records_[i], "c.ecw"), 1);
    if (records_[i].viewState != stale) continue;
    reused = true;
    ASSERT_EQ(Begin(records_[i]), 1);
    fake::ClearCalls();
    EXPECT_EQ(Begin(b_), 0);
    EXPECT_EQ(Read(b_, 0), 0);
    EXPECT_EQ(HandlerEndView(&b_), 1);
    EXPECT_TRUE(fake::Calls().empty()) << "the stale pointer reached another record's state";
    EXPECT_EQ(Read(records_[i], 0), 1);
    EXPECT_EQ(HandlerEndView(&records_[i]), 1);
  }
  RecordProperty("address_reused", reused ? "yes" : "no");
  EXPECT_EQ(Begin(b_), 0);
}

TEST_F(States, AnOpenThatCannotAllocateItsStateLeavesCode4AndNoLiveState) {
  ASSERT_EQ(Open(a_, "a.ecw"), 1);
  ASSERT_EQ(Begin(a_), 1);
  ViewState *before = a_.viewState;
  RegistrationBlock *block = a_.registration;
  PlatFailNext(PLAT_OP_ALLOC, 0, ENOMEM);
  EXPECT_EQ(Open(a_, "b.ecw"), 0);
  EXPECT_EQ(HandlerGetLastError(&a_), 4u);
  EXPECT_EQ(a_.viewState, before) << "the pointer keeps what it held";
  EXPECT_EQ(a_.registration, block);
  EXPECT_EQ(fake::OpenViews(), 0) << "the old state and its view went first";
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(Begin(a_), 0);
  EXPECT_EQ(boxes(), (Boxes{noFile_}));
}

TEST_F(States, EveryRecordFindsItsOwnStateAmongAHundredThousand) {
  const size_t n = 100000;
  std::vector<Raster> records(n);
  for (Raster &r : records) {
    r.viewState = CreateViewState(&r);
    ASSERT_NE(r.viewState, nullptr);
  }
  size_t live = 0, buckets = 0, longest = 0;
  ViewStateTableShape(&live, &buckets, &longest);
  EXPECT_EQ(live, n);
  EXPECT_GE(buckets, n / 2) << "the buckets grew with the states";
  EXPECT_LE(longest, 16u) << "a lookup walks a short chain, however many states live";
  RecordProperty("longest_chain", (int)longest);

  for (size_t i = 0; i < n; ++i) ASSERT_EQ(LiveViewState(&records[i]), records[i].viewState);
  // Swapped pointers are refused both ways, each record still owning one.
  std::swap(records[10].viewState, records[20].viewState);
  EXPECT_EQ(LiveViewState(&records[10]), nullptr);
  EXPECT_EQ(LiveViewState(&records[20]), nullptr);
  EXPECT_EQ(ViewStateMadeFor(&records[10]), records[20].viewState);

  for (Raster &r : records) ReleaseViewState(ViewStateMadeFor(&r));
  ViewStateTableShape(&live, &buckets, &longest);
  EXPECT_EQ(live, 0u);
  EXPECT_EQ(longest, 0u);
  for (const Raster &r : records) ASSERT_EQ(ViewStateMadeFor(&r), nullptr);
}

TEST_F(States, AGrowthThatCannotBeAllocatedOnlyLengthensTheChains) {
  std::vector<Raster> records(1000);
  size_t live = 0, buckets = 0, longest = 0, i = 0;
  for (;; ++i) {
    ViewStateTableShape(&live, &buckets, &longest);
    if (live == 2 * buckets) break;  // the next state asks for more buckets
    ASSERT_LT(i, records.size());
    ASSERT_EQ(HandlerOpen(&records[i], "a.ecw", 0), 1);
  }
  size_t before = buckets;
  // The state is allocated, the buckets are not, the registration block is.
  PlatFailNext(PLAT_OP_ALLOC, 1, ENOMEM);
  EXPECT_EQ(HandlerOpen(&records[i], "a.ecw", 0), 1);
  EXPECT_FALSE(PlatFailurePending());
  ViewStateTableShape(&live, &buckets, &longest);
  EXPECT_EQ(buckets, before);
  EXPECT_EQ(live, i + 1);
  ASSERT_EQ(HandlerOpen(&records[i + 1], "a.ecw", 0), 1);
  ViewStateTableShape(&live, &buckets, &longest);
  EXPECT_EQ(buckets, 2 * before) << "the next open grows them";
  for (size_t k = 0; k <= i + 1; ++k) {
    ASSERT_NE(LiveViewState(&records[k]), nullptr);
    ReleaseViewState(LiveViewState(&records[k]));
    PlatFree(records[k].registration);
  }
  EXPECT_TRUE(boxes().empty());
}
