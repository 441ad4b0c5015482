// Images served by nginx on loopback, read through the library and through
// rhl with http(s) link files: the same pixels as GDAL reads, no more
// requests and bytes than gdal_translate asks for.
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "cache.h"
#include "cpl_conv.h"
#include "cpl_vsi.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"
#include "reason.h"
#include "remote_support.h"
#include "rhl_run.h"

using namespace fixtures;

namespace {

class Remote : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = remote::Nginx::Shared(&why);
    if (server_ == nullptr) GTEST_SKIP() << why;
    Forget();
    tiff_ = server_->Publish("remote.tif", remote::TiledTiff());
  }
  void TearDown() override { Forget(); }
  // Nothing of earlier tests kept: neither the library's images nor GDAL's
  // knowledge of any remote file.
  static void Forget() {
    ncsecwex::CloseIdleImages();
    VSICurlClearCache();
  }
  remote::Nginx *server_ = nullptr;
  std::string tiff_;
};

struct View {
  const char *what;
  Window window;
  std::vector<std::string> translate;  // the same view as gdal_translate's options
};

// 1:1, a reduction by 4 and the whole image to 1024 x 512, of remote.tif.
const View kTiffViews[] = {
    {"1:1 window", {1000, 500, 1511, 883, 512, 384}, {"-srcwin", "1000", "500", "512", "384"}},
    {"reduction by 4",
     {1024, 512, 3071, 1535, 512, 256},
     {"-srcwin", "1024", "512", "2048", "1024", "-outsize", "512", "256", "-r", "average"}},
    {"whole image", {0, 0, 4095, 2047, 1024, 512}, {"-outsize", "1024", "512", "-r", "average"}},
};

const std::vector<uint32_t> kRgb = {0, 1, 2};

std::vector<uint8_t> Oracle(const std::string &path, const Window &w) {
  return fixtures::Oracle(path, kRgb, w.left, w.top, w.right, w.bottom, w.width, w.height);
}

}  // namespace

TEST_F(Remote, ViewsOverHttpAreGdalsPixels) {
  for (const View &v : kTiffViews) {
    SCOPED_TRACE(v.what);
    EXPECT_EQ(ReadView(tiff_, kRgb, v.window), Oracle(remote::TiledTiff(), v.window));
  }
  std::string jp2 = remote::Jpeg2000();
  if (jp2.empty()) GTEST_SKIP() << "this GDAL has no JPEG 2000 driver";
  std::string url = server_->Publish("remote.jp2", jp2);
  for (const Window &w : {Window{300, 200, 811, 455, 512, 256}, Window{0, 0, 2047, 1023, 512, 256}})
    EXPECT_EQ(ReadView(url, kRgb, w), Oracle(jp2, w)) << w.left << "," << w.top << " " << w.width;
}

TEST_F(Remote, AFirstOpenAsksForTheImageAloneAndALaterOneAsksOnce) {
  std::vector<std::string> images = {"remote.tif"};
  if (!remote::Jpeg2000().empty()) {
    server_->Publish("remote.jp2", remote::Jpeg2000());
    images.push_back("remote.jp2");
  }
  EcwView *view = nullptr;
  for (const std::string &image : images) {
    server_->ClearLog();
    ASSERT_EQ(NCScbmOpenFileView(server_->Url(image).c_str(), &view, nullptr), 0)
        << NCSecwexLastReason();
    NCScbmCloseFileView(view);
    std::vector<remote::Request> first = server_->Requests();
    EXPECT_LE(first.size(), 3u) << image << ": a HEAD and the header's ranges";
    for (const remote::Request &r : first)
      EXPECT_EQ(r.uri, "/" + image) << "no folder listing, no files beside the image";
  }

  server_->ClearLog();
  ASSERT_EQ(NCScbmOpenFileView(tiff_.c_str(), &view, nullptr), 0);
  NCScbmCloseFileView(view);
  EXPECT_EQ(server_->Requests().size(), 0u) << "asked again at once: served as it is";

  std::this_thread::sleep_for(ncsecwex::kRemoteRecheck + std::chrono::milliseconds(100));
  server_->ClearLog();
  ASSERT_EQ(NCScbmOpenFileView(tiff_.c_str(), &view, nullptr), 0);
  NCScbmCloseFileView(view);
  std::vector<remote::Request> later = server_->Requests();
  ASSERT_EQ(later.size(), 1u) << "one check with the server";
  EXPECT_EQ(later[0].method, "HEAD");
}

TEST_F(Remote, FilesBesideTheImageAreAskedForWhenTheUserSaysSo) {
  CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "NO");
  server_->ClearLog();
  EcwView *view = nullptr;
  int result = NCScbmOpenFileView(tiff_.c_str(), &view, nullptr);
  CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", nullptr);
  ASSERT_EQ(result, 0);
  NCScbmCloseFileView(view);
  size_t others = 0;
  for (const remote::Request &r : server_->Requests()) others += r.uri != "/remote.tif";
  EXPECT_GT(others, 0u) << "GDAL looked beside the image, as the user asked";
}

TEST_F(Remote, ViewsFetchNoMoreBytesThanGdalTranslate) {
  for (const View &v : kTiffViews) {
    SCOPED_TRACE(v.what);
    Forget();
    server_->ClearLog();
    ReadView(tiff_, kRgb, v.window);
    remote::Traffic mine = remote::Total(server_->Requests());
    Forget();
    server_->ClearLog();
    // gdal_translate as it is best used on a remote file: without a listing.
    CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
    rhltest::Translate("/vsicurl/" + tiff_, TempDir() + "/translated.tif", v.translate);
    CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", nullptr);
    remote::Traffic gdal = remote::Total(server_->Requests());
    std::cout << "  " << v.what << ": library " << mine.requests << " requests, " << mine.bytes
              << " bytes; gdal_translate " << gdal.requests << " requests, " << gdal.bytes
              << " bytes\n";
    EXPECT_LE(mine.bytes, gdal.bytes + gdal.bytes / 10);
  }
}

TEST_F(Remote, HttpsWorksWithACertificateGdalTrusts) {
  std::string url = server_->Publish("secure.tif", remote::TiledTiff());
  url = server_->TlsUrl("secure.tif");
  const Window w = kTiffViews[0].window;
  CPLSetConfigOption("SSL_CERT_FILE", server_->Certificate().c_str());
  EXPECT_EQ(ReadView(url, kRgb, w), Oracle(remote::TiledTiff(), w));
  CPLSetConfigOption("SSL_CERT_FILE", nullptr);
  Forget();
  EcwView *view = nullptr;
  errno = 0;
  EXPECT_NE(NCScbmOpenFileView(url.c_str(), &view, nullptr), 0) << "a certificate no one trusts";
  EXPECT_EQ(errno, EPROTO);
  EXPECT_NE(std::string(NCSecwexLastReason()).find("certificate"), std::string::npos);
}

TEST_F(Remote, RhlRendersHttpLinkFilesAsGdalTranslateReadsThem) {
  int n = 0;
  for (const View &v : kTiffViews) {
    SCOPED_TRACE(v.what);
    std::string link = Link("remote" + std::to_string(n) + ".url", tiff_);
    std::string got = TempDir() + "/rhl" + std::to_string(n) + ".tif";
    std::string want = TempDir() + "/gdal" + std::to_string(n++) + ".tif";
    std::string args;
    for (const std::string &a : v.translate) args += " " + a;
    // rhl takes gdal_translate's window and size options.
    size_t r = args.find(" -r average");
    if (r != std::string::npos) args.erase(r);
    rhltest::Outcome out = rhltest::Rhl("render " + link + " -q -o " + got + args);
    ASSERT_EQ(out.status, 0) << out.err;
    rhltest::Translate("/vsicurl/" + tiff_, want, v.translate);
    int gw, gh, gb, ww, wh, wb;
    std::vector<unsigned char> gotPixels = rhltest::Pixels(got, &gw, &gh, &gb);
    std::vector<unsigned char> wantPixels = rhltest::Pixels(want, &ww, &wh, &wb);
    EXPECT_EQ(gw, ww);
    EXPECT_EQ(gh, wh);
    EXPECT_EQ(gotPixels, wantPixels);
  }
}

TEST_F(Remote, RhlSaysTheServersAnswerAfterItsOwnLine) {
  std::string link = Link("missing.url", server_->Url("missing.tif"));
  rhltest::Outcome out = rhltest::Rhl("info " + link);
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "ECW.RHL: Error opening view into ECW file: '" + server_->Url("missing.tif") +
                         "' (No such file or directory)\nrhl: could not open '" + link +
                         "'\nrhl: the library says: the server answered 404 (Not Found)\n");
  // An https name with the certificate taken on trust, as a user may say.
  server_->Publish("secure.tif", remote::TiledTiff());
  std::string secure = Link("secure.url", server_->TlsUrl("secure.tif"));
  out = rhltest::Rhl("info " + secure, "", "GDAL_HTTP_UNSAFESSL=YES");
  EXPECT_EQ(out.status, 0) << out.err;
  EXPECT_NE(out.out.find("4096 x 2048"), std::string::npos) << out.out;
}
