// Servers that fail, stall or change under a long-running host: each fault
// gives the nearest error code and the library's reason, within the time
// limits (the suite sets GDAL's own short ones; ctest's timeout is the
// watchdog), and a changed image is read afresh.
#include <errno.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cache.h"
#include "cpl_conv.h"
#include "cpl_vsi.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"
#include "reason.h"
#include "remote.h"
#include "remote_support.h"
#include "rhl_run.h"

using namespace fixtures;
using remote::FaultServer;

namespace {

using Clock = std::chrono::steady_clock;
// Far more than any limit these tests set: a hang, not a slow machine.
constexpr auto kWatchdog = std::chrono::seconds(60);

struct Failure {
  int error = 0;
  std::string reason;
  Clock::duration took{};
};

// Opens `name` and expects it to fail; what it left.
Failure OpenFails(const std::string &name) {
  NCSecwexLastReason();
  Failure f;
  Clock::time_point start = Clock::now();
  EcwView *view = nullptr;
  errno = 0;
  int32_t result = NCScbmOpenFileView(name.c_str(), &view, nullptr);
  f.error = errno;
  f.reason = NCSecwexLastReason();
  f.took = Clock::now() - start;
  EXPECT_NE(result, 0) << name << " opened";
  if (result == 0) NCScbmCloseFileView(view);
  return f;
}

// Reads `w` of an open view until a line fails; what it left.
Failure ReadFails(EcwView *view, const Window &w) {
  NCSecwexLastReason();
  Failure f;
  Clock::time_point start = Clock::now();
  uint32_t bands[] = {0, 1, 2};
  EXPECT_EQ(NCScbmSetFileView(view, 3, bands, w.left, w.top, w.right, w.bottom, w.width, w.height),
            0);
  std::vector<uint8_t> line((size_t)w.width * 3);
  int y = 0;
  while (y < w.height && NCScbmReadViewLineRGB(view, line.data()) == 0) ++y;
  f.error = errno;
  f.reason = NCSecwexLastReason();
  f.took = Clock::now() - start;
  EXPECT_LT(y, w.height) << "every line came";
  return f;
}

void ExpectFailure(const Failure &f, int error, const std::string &words) {
  EXPECT_EQ(f.error, error) << strerror(f.error);
  EXPECT_NE(f.reason.find(words), std::string::npos) << f.reason;
  EXPECT_LT(f.took, kWatchdog);
}

class RemoteFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ncsecwex::CloseIdleImages();
    VSICurlClearCache();
  }
  void TearDown() override { SetUp(); }
  static void WaitToBeChecked() {
    std::this_thread::sleep_for(ncsecwex::kRemoteRecheck + std::chrono::milliseconds(100));
  }
};

const Window kCorner = {0, 0, 511, 383, 512, 384};
const Window kMiddle = {2000, 1000, 2511, 1383, 512, 384};

}  // namespace

TEST_F(RemoteFaults, EachFaultGivesTheNearestErrorCodeAndTheReason) {
  std::string why;
  remote::Nginx *nginx = remote::Nginx::Shared(&why);
  if (nginx == nullptr) GTEST_SKIP() << why;
  nginx->Publish("fault.tif", remote::TiledTiff());
  FaultServer silent(remote::TiledTiff(), FaultServer::Mode::kSilent);
  struct Case {
    std::string name;
    int error;
    std::string words;
  } cases[] = {
      {nginx->Url("missing.tif"), ENOENT, "the server answered 404 (Not Found)"},
      {nginx->Url("forbidden/fault.tif"), EACCES, "the server answered 403 (Forbidden)"},
      {nginx->Url("moved/missing.tif"), ENOENT, "404"},
      {nginx->Url("loop/fault.tif"), ELOOP, "redirects"},
      {nginx->Url("norange/fault.tif"), ESPIPE, "Range downloading not supported"},
      {"http://127.0.0.1:" + std::to_string(remote::ClosedPort()) + "/fault.tif", ECONNREFUSED,
       "Couldn't connect"},
      {silent.Url(), ETIMEDOUT, "too slow"},
      {nginx->TlsUrl("fault.tif"), EPROTO, "certificate"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ExpectFailure(OpenFails(c.name), c.error, c.words);
  }
  // A redirect to the image itself is followed.
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(nginx->Url("moved/fault.tif").c_str(), &view, nullptr), 0)
      << NCSecwexLastReason();
  NCScbmCloseFileView(view);
}

TEST_F(RemoteFaults, AServerStallingBetweenOpensFailsTheNextOpenWithinTheLimit) {
  FaultServer server(remote::TiledTiff());
  EXPECT_FALSE(ReadView(server.Url(), {0, 1, 2}, kCorner).empty());
  server.SetMode(FaultServer::Mode::kSilent);
  WaitToBeChecked();
  Failure f = OpenFails(server.Url());
  ExpectFailure(f, ETIMEDOUT, "can no longer be had");
  EXPECT_EQ(ncsecwex::CountImages().idle, 0u) << "the stalled server's image is not kept";
  // The same from another thread than the first open's: the limits are the
  // process's, not a thread's.
  server.SetMode(FaultServer::Mode::kServe);
  EXPECT_FALSE(ReadView(server.Url(), {0, 1, 2}, kCorner).empty());
  server.SetMode(FaultServer::Mode::kSilent);
  WaitToBeChecked();
  std::thread other([&] { f = OpenFails(server.Url()); });
  other.join();
  ExpectFailure(f, ETIMEDOUT, "too slow");
}

TEST_F(RemoteFaults, AServerStallingDuringAViewFailsItsLineWithinTheLimit) {
  FaultServer server(remote::TiledTiff());
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(server.Url().c_str(), &view, nullptr), 0) << NCSecwexLastReason();
  server.SetMode(FaultServer::Mode::kSilent);
  // The whole image at 1:1 is more than one strip: read on the view's worker.
  ExpectFailure(ReadFails(view, {0, 0, 4095, 2047, 4096, 2048}), ETIMEDOUT, "too slow");
  // One strip, read on the caller's thread, from a server that cuts its
  // answers short.
  server.SetMode(FaultServer::Mode::kCutBodies);
  ExpectFailure(ReadFails(view, kMiddle), ECONNRESET, "transfer closed");
  NCScbmCloseFileView(view);
  EXPECT_EQ(ncsecwex::CountImages().idle, 0u) << "an image whose reads failed is not kept";
}

TEST_F(RemoteFaults, AnImageReplacedOnTheServerIsReadAfresh) {
  std::string why;
  remote::Nginx *nginx = remote::Nginx::Shared(&why);
  if (nginx == nullptr) GTEST_SKIP() << why;
  Fixture small, large;
  large.width = 100;
  large.height = 80;
  large.value = [](int x, int y, int b, double) { return (x * 7 + y + b * 50) % 256; };
  std::string before = Make("before.tif", small), after = Make("after.tif", large);
  std::string url = nginx->Publish("changing.tif", before);
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(url.c_str(), &view, nullptr), 0);
  EcwFileInfo *info = nullptr;
  NCScbmGetViewFileInfo(view, &info);
  EXPECT_EQ(info->width, 64u);
  NCScbmCloseFileView(view);

  nginx->Publish("changing.tif", after);
  WaitToBeChecked();
  ASSERT_EQ(NCScbmOpenFileView(url.c_str(), &view, nullptr), 0) << NCSecwexLastReason();
  NCScbmGetViewFileInfo(view, &info);
  EXPECT_EQ(info->width, 100u);
  EXPECT_EQ(info->height, 80u);
  NCScbmCloseFileView(view);
  const Window whole = {0, 0, 99, 79, 100, 80};
  EXPECT_EQ(ReadView(url, {0, 1, 2}, whole), Oracle(after, {0, 1, 2}, 0, 0, 99, 79, 100, 80))
      << "the new file's pixels, not a mix of old ranges and new";

  // A name that was missing is asked for again, not remembered as missing.
  std::string later = nginx->Url("later.tif");
  ExpectFailure(OpenFails(later), ENOENT, "404");
  nginx->Publish("later.tif", before);
  ASSERT_EQ(NCScbmOpenFileView(later.c_str(), &view, nullptr), 0) << NCSecwexLastReason();
  NCScbmCloseFileView(view);
}

TEST_F(RemoteFaults, RhlSaysWhyAStalledServerFailed) {
  FaultServer silent(remote::TiledTiff(), FaultServer::Mode::kSilent);
  std::string link = fixtures::Link("stalled.url", silent.Url());
  Clock::time_point start = Clock::now();
  rhltest::Outcome out = rhltest::Rhl("render " + link + " -q -o " + TempDir() + "/stalled.tif");
  EXPECT_LT(Clock::now() - start, kWatchdog);
  EXPECT_EQ(out.status, 1);
  EXPECT_NE(out.err.find("(Connection timed out)\nrhl: could not open '" + link +
                         "'\nrhl: the library says: "),
            std::string::npos)
      << out.err;
  EXPECT_FALSE(rhltest::Exists(TempDir() + "/stalled.tif"));
}

// Run also apart, with no time limit set (see CMakeLists.txt).
TEST(HttpDefaults, UnsetOptionsGetTheLibrarysLimitsAndSetOnesAreKept) {
  Fixture f;
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(Make("defaults.tif", f).c_str(), &view, nullptr), 0);
  NCScbmCloseFileView(view);
  for (const ncsecwex::HttpDefault &d : ncsecwex::kHttpDefaults) {
    const char *user = getenv(d.option);
    EXPECT_STREQ(CPLGetConfigOption(d.option, nullptr), user != nullptr ? user : d.value)
        << d.option;
  }
}

TEST(HttpDefaults, ASilentServerFailsWithinTheLibrarysReadLimit) {
  if (getenv("GDAL_HTTP_LOW_SPEED_TIME") != nullptr)
    GTEST_SKIP() << "a read limit is set; HttpDefaults.LibraryLimitsWhereTheUserSetsNone runs "
                    "this without one";
  FaultServer silent(remote::TiledTiff(), FaultServer::Mode::kSilent);
  Failure f = OpenFails(silent.Url());
  std::string seconds;
  for (const ncsecwex::HttpDefault &d : ncsecwex::kHttpDefaults)
    if (std::string(d.option) == "GDAL_HTTP_LOW_SPEED_TIME") seconds = d.value;
  ExpectFailure(f, ETIMEDOUT, "the last " + seconds + " seconds");
  std::cout << "  a silent server cost "
            << std::chrono::duration<double>(f.took).count() << " s\n";
}
