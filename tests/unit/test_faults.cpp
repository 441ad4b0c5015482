// A whole host session with its first, second, ... k-th platform call (and,
// in turn, each library call) failing, until the session runs clean: every
// run ends in a clear failure or a success, with nothing leaked and nothing
// closed or released twice.
#include <errno.h>

#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "support.h"

using fake::Op;

namespace {

// One host session: probe, open, a view read to its end, reopen, a second
// view. It carries on past failures as a careless host would, checking each
// entry's answer as it goes.
class Session {
 public:
  Session(const std::string &link, const Boxes &boxes) : link_(link), boxes_(boxes) {}

  void Run() {
    Entry("probe", [&] { return HandlerProbe(link_.c_str()); }, kBoxOnFailure);
    OpenRecord("open");
    View("first view", 5);
    OpenRecord("reopen");
    View("second view", 2);
  }
  // Gives back what the host owns: the state, as the test's host, and every
  // registration block the opens handed over.
  void Release() {
    if (ViewState *state = ViewStateMadeFor(&raster_)) ReleaseViewState(state);
    for (RegistrationBlock *block : blocks_) PlatFree(block);
    blocks_.clear();
  }
  int failures() const { return failures_; }
  std::string log() const { return log_.str(); }

 private:
  enum Expect { kBoxOnFailure, kNoBox };

  template <typename Call>
  int32_t Entry(const char *what, Call call, Expect expect) {
    size_t before = boxes_.size();
    int32_t result = call();
    size_t shown = boxes_.size() - before;
    log_ << what << "=" << result << " ";
    if (result == 1) {
      EXPECT_EQ(shown, 0u) << what << " succeeded with a box";
    } else {
      ++failures_;
      if (expect == kBoxOnFailure) {
        EXPECT_EQ(shown, 1u) << what << " failed without saying why";
        if (shown == 1) {
          EXPECT_FALSE(boxes_.back().text.empty());
        }
      }
    }
    return result;
  }

  void OpenRecord(const char *what) {
    size_t before = boxes_.size();
    raster_.errorCode = 0xC0DE;
    int32_t result = Entry(what, [&] { return HandlerOpen(&raster_, link_.c_str(), 0); }, kNoBox);
    uint32_t code = HandlerGetLastError(&raster_);
    if (result == 1) {
      EXPECT_EQ(code, 0u);
      blocks_.push_back(raster_.registration);
    } else if (code == 4) {
      EXPECT_EQ(boxes_.size(), before) << "code 4 comes without a box";
    } else {
      EXPECT_EQ(code, 5u) << what;
      EXPECT_EQ(boxes_.size(), before + 1) << what << " failed without saying why";
      EXPECT_EQ(raster_.viewState, nullptr);
    }
  }

  void View(const char *what, int lines) {
    RhlRect destination{0, 0, 40, 20}, source{0, 0, 80, 40};
    int32_t width = 0;
    raster_.errorCode = 0xC0DE;
    if (Entry(what, [&] { return HandlerBeginView(&raster_, &destination, &source, 0.5, &width); },
              kBoxOnFailure)) {
      EXPECT_EQ(width, 40);
      EXPECT_EQ(raster_.errorCode, 0u);
    } else {
      EXPECT_EQ(raster_.errorCode, 0xC0DEu) << "a failed begin changed the code";
    }
    for (int y = 0; y < lines; ++y) {
      uint8_t *line = nullptr;
      uint16_t flag = 1;
      if (!Entry("read", [&] { return HandlerReadLine(&raster_, y, &line, &flag); },
                 kBoxOnFailure))
        break;
    }
    EXPECT_EQ(HandlerEndView(&raster_), 1);
    EXPECT_EQ(fake::OpenViews(), 0) << what << " left a view open";
  }

  std::string link_;
  const Boxes &boxes_;
  Raster raster_{};
  std::vector<RegistrationBlock *> blocks_;
  int failures_ = 0;
  std::ostringstream log_;
};

class Faults : public ModuleTest {
 protected:
  // Runs the session once with the failure `script` sets up; true if the
  // failure was reached, false if the session ran clean past it.
  template <typename Script>
  bool RunOnce(const std::string &trace, Script script) {
    SCOPED_TRACE(trace);
    fake::Reset();
    long blocks = PlatLiveBlocks();
    script();
    Session session(link_, boxes());
    session.Run();
    bool reached = !PlatFailurePending() && !AnyLibraryFailureArmed();
    session.Release();
    PlatFailNext(PLAT_OP_NONE, 0, 0);
    if (!reached) {
      EXPECT_EQ(session.failures(), 0) << session.log();
    }
    EXPECT_EQ(fake::Misuses(), 0) << "a view was used after close or closed twice";
    EXPECT_EQ(fake::OpenViews(), 0);
    EXPECT_EQ(PlatLiveBlocks(), blocks) << "blocks leaked: " << session.log();
    return reached;
  }
  static bool AnyLibraryFailureArmed() {
    for (Op op : kLibraryOps)
      if (fake::Armed(op)) return true;
    return false;
  }

  void SetUp() override {
    ModuleTest::SetUp();
    link_ = WriteFile("map.url", "img.ecw\r\n");
  }

  static constexpr Op kLibraryOps[] = {Op::Open, Op::GetInfo, Op::SetView, Op::ReadLine,
                                      Op::Close};
  std::string link_;
};

constexpr Op Faults::kLibraryOps[];

}  // namespace

TEST_F(Faults, EachPlatformCallFailedInTurn) {
  int k = 0;
  for (;; ++k) {
    ASSERT_LT(k, 200) << "the session never ran clean";
    if (!RunOnce("platform call " + std::to_string(k), [k] { PlatFailNext(PLAT_OP_ANY, k, EIO); }))
      break;
  }
  RecordProperty("platform_calls", k);
  // Reads, opens, examinations and closes of the link twice over, the view
  // states, registration blocks, band lists and line buffers.
  EXPECT_GE(k, 25);
}

TEST_F(Faults, EachLibraryCallFailedInTurn) {
  int runs = 0;
  for (Op op : kLibraryOps) {
    for (int skip = 0;; ++skip) {
      ASSERT_LT(skip, 100);
      ++runs;
      if (!RunOnce("library op " + std::to_string((int)op) + " call " + std::to_string(skip),
                   [op, skip] { fake::Fail(op, EIO, skip); }))
        break;
    }
  }
  EXPECT_GE(runs, 15);
}
