// rhl serve scaled out: nginx with the configuration the README ships in
// front of two instances on loopback. Maps and tiles through nginx are the
// instances' own, byte for byte; only images are kept in its cache, and
// documents name the address the client reached; an instance killed under
// load costs no client a request; an image that changes shows through nginx.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "fixtures.h"
#include "gdal.h"
#include "raw_client.h"
#include "remote_support.h"
#include "rhl_run.h"
#include "scaleout_support.h"
#include "serve_support.h"

using raw_client::Fetch;
using raw_client::Get;
using raw_client::Response;
using scaleout::Front;
using scaleout::Logged;
using serve_support::Served;

namespace {

// Maps and tiles of the layer `scaleout` (the sample, 2048 x 1024 in
// EPSG:4326) by every route that answers them.
const std::vector<std::string> kMaps = {
    "/xyz/scaleout/0/0/0.png",
    "/xyz/scaleout/2/1/1.png",
    "/xyz/scaleout/3/5/2.jpg",
    "/xyz/mosaic/2/2/1.webp",
    "/tiles/scaleout/0/0/0.png",
    "/tiles/scaleout/3/2/1.png",
    "/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=scaleout&STYLE=default"
    "&TILEMATRIXSET=GoogleMapsCompatible&TILEMATRIX=2&TILEROW=1&TILECOL=2&FORMAT=image/png",
    "/wmts/1.0.0/scaleout/default/native-scaleout/2/1/3.png",
    "/wmts/1.0.0/mosaic/default/GoogleMapsCompatible/1/0/1.jpg",
    "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=scaleout&STYLES=&CRS=EPSG:4326"
    "&BBOX=-90,-180,90,180&WIDTH=512&HEIGHT=256&FORMAT=image/png",
    "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&LAYERS=mosaic&STYLES=&SRS=EPSG:3857"
    "&BBOX=-20037508.34,-10018754.17,20037508.34,10018754.17&WIDTH=256&HEIGHT=128"
    "&FORMAT=image/jpeg",
    "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=scaleout&STYLES=&CRS=CRS:84"
    "&BBOX=-30,10,60,55&WIDTH=300&HEIGHT=150&FORMAT=image/webp&TRANSPARENT=TRUE",
};

// Seconds since 1970, as nginx logs them.
double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A copy of the sample under `name`.tif, the layer's name.
std::string Image(const std::string &name) {
  GDALAllRegister();
  std::string path = fixtures::TempDir() + "/" + name + ".tif";
  rhltest::Translate(REMOTE_SAMPLE, path, {});
  return path;
}

class ScaleOut : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = scaleout::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
  // Two instances of `rhl serve args...` and nginx in front of them.
  void Start(const std::vector<std::string> &args, bool cache) {
    first_.reset(new Served(args));
    second_.reset(new Served(args));
    ASSERT_GT(first_->port(), 0) << first_->err();
    ASSERT_GT(second_->port(), 0) << second_->err();
    front_.reset(new Front({first_->port(), second_->port()}, cache));
    ASSERT_TRUE(front_->started()) << front_->why();
  }
  Response ThroughNginx(const std::string &path, const std::string &host = "localhost") {
    return Fetch(front_->port(), Get(path, host), 30000);
  }
  Response Direct(const Served &served, const std::string &path) {
    return Fetch(served.port(), Get(path), 30000);
  }

  std::unique_ptr<Served> first_, second_;
  std::unique_ptr<Front> front_;
};

TEST_F(ScaleOut, EveryMapAndTileThroughNginxIsByteForByteTheInstancesOwnFreshOrKept) {
  ASSERT_NO_FATAL_FAILURE(Start({Image("scaleout")}, true));
  for (const std::string &path : kMaps) {
    SCOPED_TRACE(path);
    Response direct = Direct(*first_, path), other = Direct(*second_, path);
    ASSERT_EQ(direct.status, 200) << direct.body;
    ASSERT_EQ(direct.headers["content-type"].compare(0, 6, "image/"), 0);
    ASSERT_EQ(other.body, direct.body) << "the instances differ";
    Response fresh = ThroughNginx(path), kept = ThroughNginx(path);
    EXPECT_EQ(fresh.status, 200);
    EXPECT_EQ(fresh.headers["x-cache"], "MISS");
    EXPECT_EQ(kept.status, 200);
    EXPECT_EQ(kept.headers["x-cache"], "HIT");
    EXPECT_TRUE(fresh.body == direct.body) << "fresh through nginx: " << fresh.body.size()
                                           << " bytes, directly " << direct.body.size();
    EXPECT_TRUE(kept.body == direct.body) << "kept by nginx: " << kept.body.size()
                                          << " bytes, directly " << direct.body.size();
    EXPECT_EQ(fresh.headers["content-type"], direct.headers["content-type"]);
    EXPECT_EQ(kept.headers["content-type"], direct.headers["content-type"]);
    // Clients are still told to ask again: an image may change on disk.
    EXPECT_EQ(kept.headers["cache-control"], "no-cache");
  }
  // nginx spread the requests over both instances.
  std::set<int> asked;
  for (const Logged &l : front_->Log()) asked.insert(l.instances.begin(), l.instances.end());
  EXPECT_EQ(asked, std::set<int>({first_->port(), second_->port()}));
}

TEST_F(ScaleOut, OnlyImagesAreKeptAndDocumentsNameTheAddressTheClientReached) {
  ASSERT_NO_FATAL_FAILURE(Start({Image("scaleout")}, true));
  const std::string host = "maps.example.org:8443";
  struct Case {
    std::string path;
    int status;
    std::string holds;  // in the body, each time
  } cases[] = {
      {"/wmts/1.0.0/WMTSCapabilities.xml", 200,
       "template=\"http://" + host + "/wmts/1.0.0/scaleout/{Style}/"},
      {"/wmts?SERVICE=WMTS&REQUEST=GetCapabilities", 200, "http://" + host + "/wmts?"},
      {"/wms?SERVICE=WMS&REQUEST=GetCapabilities", 200, "xlink:href=\"http://" + host + "/wms?"},
      {"/xyz/scaleout.json", 200, "\"http://" + host + "/xyz/scaleout/{z}/{x}/{y}.png\""},
      // a WMS exception comes with status 200, and is no map
      {"/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=nosuch&STYLES=&CRS=EPSG:4326"
       "&BBOX=-90,-180,90,180&WIDTH=256&HEIGHT=128&FORMAT=image/png",
       200, "LayerNotDefined"},
      {"/xyz/scaleout/1/5/5.png", 404, ""},
      {"/tiles/nosuch/0/0/0.png", 404, "no image"},
      {"/wmts/1.0.0/scaleout/default/GoogleMapsCompatible/1/0/5.png", 400, "TileOutOfRange"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    for (int time = 0; time < 2; ++time) {
      Response r = ThroughNginx(c.path, host);
      EXPECT_EQ(r.status, c.status) << r.body;
      EXPECT_NE(r.body.find(c.holds), std::string::npos) << r.body.substr(0, 2000);
      EXPECT_EQ(r.headers["x-cache"], "MISS") << "time " << time;
    }
  }
  // The instance itself answers no such name (nginx names localhost to it).
  Response refused = Fetch(first_->port(), Get("/xyz/scaleout.json", host));
  EXPECT_EQ(refused.status, 403);
  // Nor does nginx take the client's word for where it was reached.
  Response forged = Fetch(front_->port(), Get("/xyz/scaleout.json", host,
                                             "X-Forwarded-Host: evil.example\r\n"
                                             "X-Forwarded-Proto: https\r\n"));
  EXPECT_NE(forged.body.find("\"http://" + host + "/xyz/"), std::string::npos) << forged.body;
}

TEST_F(ScaleOut, AnInstanceKilledUnderLoadCostsNoClientARequest) {
  // No cache: every request reaches an instance.
  ASSERT_NO_FATAL_FAILURE(Start({Image("scaleout")}, false));
  int killed = first_->port(), kept = second_->port();
  scaleout::Wrk wrk(front_->Url(), kMaps, 4, 6);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double killedAt = Now();
  first_->Stop(SIGKILL);
  scaleout::Load load = wrk.Finish();

  ASSERT_TRUE(load.ran) << load.output;
  EXPECT_GT(load.requests, 0) << load.output;
  EXPECT_EQ(load.notOk, 0) << load.output;
  EXPECT_EQ(load.connectErrors + load.readErrors + load.writeErrors + load.timeouts, 0)
      << load.output;

  std::vector<Logged> log = front_->Log();
  size_t firstBefore = 0, retried = 0, secondAfter = 0, otherwise = 0;
  std::string asked;  // the statuses of requests asked of more than one
  for (const Logged &l : log) {
    // 499: a request wrk left unanswered when its time was up.
    if (l.status != 200 && l.status != 499) ++otherwise;
    if (l.at < killedAt && l.instances == std::vector<int>{killed}) ++firstBefore;
    // Asked of the killed one (more than once where a kept connection to it
    // failed first), then of the other.
    if (l.status == 200 && l.instances.size() > 1 && l.instances.front() == killed &&
        l.instances.back() == kept)
      ++retried;
    if (l.instances.size() > 1) asked += l.statuses + "; ";
    if (l.at > killedAt && l.status == 200 && l.instances == std::vector<int>{kept}) ++secondAfter;
  }
  EXPECT_EQ(otherwise, 0u);
  EXPECT_GT(firstBefore, 0u) << "the killed instance answered before";
  EXPECT_GT(retried, 0u) << "a request that found it dead was asked again of the other: "
                          << asked;
  EXPECT_GT(secondAfter, 0u);
  EXPECT_EQ(Direct(*second_, kMaps[0]).status, 200);
}

// rhl serve answers 504 when a view of one image outran its deadline, and
// goes on answering the others. nginx hands that 504 to its client: asked of
// the next instance too, it would wait again and then leave both instances
// out as failed, refusing every image for a while.
TEST_F(ScaleOut, AViewPastItsDeadlineCostsItsOwnClientAloneNeverTheOtherImages) {
  // The seam module holds every view of an image whose name says "hold".
  std::string hold = Image("hold");
  ASSERT_NO_FATAL_FAILURE(Start({Image("scaleout"), hold, "--module", SEAM_MODULE_PATH,
                                 "--view-timeout", "1"},
                                false));
  ASSERT_EQ(ThroughNginx(kMaps[0]).status, 200);
  // Two clients in turn: each gets the 504 of the instance it was given.
  for (const char *tile : {"/xyz/hold/1/0/0.png", "/xyz/hold/1/1/0.png"}) {
    Response late = ThroughNginx(tile);
    EXPECT_EQ(late.status, 504) << late.body;
  }
  for (const std::string &path : kMaps) {
    if (path.find("mosaic") != std::string::npos) continue;  // it holds the held image
    EXPECT_EQ(ThroughNginx(path).status, 200) << path;
  }
  std::ofstream(hold + ".release") << "";

  size_t asked = 0;
  for (const Logged &l : front_->Log()) {
    if (l.uri.find("/hold/") == std::string::npos) continue;
    EXPECT_EQ(l.instances.size(), 1u) << l.statuses;
    ++asked;
  }
  EXPECT_EQ(asked, 2u);
}

TEST_F(ScaleOut, AnImageThatChangesShowsThroughNginxOnceItsTimeInTheCacheIsUp) {
  std::string image = Image("changing"), changed = fixtures::TempDir() + "/changed.tif";
  rhltest::Translate(REMOTE_SAMPLE, changed, {"-scale", "0", "255", "255", "0"});
  ASSERT_NO_FATAL_FAILURE(Start({image}, true));
  const std::string tile = "/xyz/changing/1/0/0.png";
  Response old = ThroughNginx(tile);
  ASSERT_EQ(old.status, 200);
  ASSERT_EQ(ThroughNginx(tile).headers["x-cache"], "HIT");

  ASSERT_EQ(rename(changed.c_str(), image.c_str()), 0);
  auto changedAt = std::chrono::steady_clock::now();
  Response now = Direct(*first_, tile);
  ASSERT_EQ(now.status, 200);
  ASSERT_NE(now.body, old.body) << "the instance serves the changed image at once";
  ASSERT_EQ(Direct(*second_, tile).body, now.body);
  // Through nginx: the kept tile, until nginx lets go of it; then the new one.
  // Never anything else, never an error.
  bool shown = false;
  double seconds = 0;
  while (!shown && seconds < 30) {
    Response r = ThroughNginx(tile);
    ASSERT_EQ(r.status, 200);
    ASSERT_TRUE(r.body == old.body || r.body == now.body) << "neither the old tile nor the new";
    shown = r.body == now.body;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - changedAt).count();
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(shown) << "nginx still gives the old tile " << seconds << " s after the change";
  printf("the changed image showed through nginx %.1f s after the change\n", seconds);
}

}  // namespace
