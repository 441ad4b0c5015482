// rhl serve as a process on a free loopback port, fetched over real HTTP;
// every tile is checked pixel for pixel against `rhl render` of the same
// source window and scale, with GDAL reading both PNGs.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "fixtures.h"
#include "serve_support.h"

using namespace fixtures;
using namespace serve_support;

namespace {

std::string CompareTile(const Pixels &tile, const Pixels &view) {
  if (tile.width != 256 || tile.height != 256) return "the tile is not 256 x 256";
  bool filled = view.width == 256 && view.height == 256;
  if (tile.bands != (filled ? 3 : 4)) return "the tile has " + std::to_string(tile.bands) + " bands";
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const uint8_t *t = tile.at(x, y);
      bool inside = x < view.width && y < view.height;
      std::string where = " at " + std::to_string(x) + "," + std::to_string(y);
      if (inside && (t[0] != view.at(x, y)[0] || t[1] != view.at(x, y)[1] ||
                     t[2] != view.at(x, y)[2]))
        return "the pixel differs from rhl render's" + where;
      if (tile.bands == 4 && t[3] != (inside ? 255 : 0))
        return "alpha " + std::to_string(t[3]) + where;
    }
  }
  return "";
}

class Serve : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture fixture;
    fixture.width = 1003;
    fixture.height = 701;
    fixture.overviews = true;
    image_ = Make("serve.tif", fixture);
    link_ = Link("img.url", image_);
  }
  static std::string image_, link_;
};
std::string Serve::image_, Serve::link_;

}  // namespace

TEST_F(Serve, EveryTileIsTheViewRhlRenderMakesOfItsWindowAtItsScale) {
  struct Case {
    int z, x, y;
    std::string src, scale;
    int width, height;  // of the view, from the tile's top-left
  } cases[] = {
      {2, 1, 1, "256,256,512,512", "1", 256, 256},     // 1:1, inside
      {2, 3, 2, "768,512,1003,701", "1", 235, 189},    // 1:1, the bottom-right corner
      {2, 0, 2, "0,512,256,701", "1", 256, 189},       // 1:1, the bottom edge
      {1, 0, 0, "0,0,512,512", "0.5", 256, 256},       // half scale, inside
      {1, 1, 1, "512,512,1003,701", "0.5", 246, 95},   // half scale, rounded sizes
      {0, 0, 0, "0,0,1003,701", "0.25", 251, 175},     // level 0: the whole image
  };
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  int n = 0;
  for (const Case &c : cases) {
    std::string name = std::to_string(c.z) + "/" + std::to_string(c.x) + "/" + std::to_string(c.y);
    SCOPED_TRACE("tile " + name);
    httplib::Result res = server.Get("/tiles/img/" + name + ".png");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
    EXPECT_NE(res->get_header_value("Server-Timing").find("view;dur="), std::string::npos);
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-cache");
    Pixels tile = DecodePng(res->body);

    std::vector<std::vector<std::string>> renders = {{"--scale", c.scale}};
    if (c.scale != "1")
      renders.push_back({"--size", std::to_string(c.width) + "x" + std::to_string(c.height)});
    for (const auto &how : renders) {
      std::string out = TempDir() + "/tile" + std::to_string(n++) + ".png";
      Outcome r = RunRhl({"render", link_, "-o", out, "--src", c.src, how[0], how[1]});
      ASSERT_EQ(r.status, 0) << r.err;
      Pixels view = ReadPng(out);
      ASSERT_EQ(view.width, c.width) << how[0];
      ASSERT_EQ(view.height, c.height) << how[0];
      EXPECT_EQ(CompareTile(tile, view), "") << "rhl render --src " << c.src << " " << how[0];
    }
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Serve, UnknownImagesTilesOutsideThePyramidAndOtherPathsAreRefused) {
  struct Case {
    const char *path;
    int status;
  } cases[] = {
      {"/tiles/nope/0/0/0.png", 404},          {"/tiles/img/3/0/0.png", 404},
      {"/tiles/img/2/4/0.png", 404},           {"/tiles/img/2/0/3.png", 404},
      {"/tiles/img/1/2/0.png", 404},           {"/tiles/img/0/0/1.png", 404},
      {"/tiles/img/2/0/0.jpg", 404},           {"/tiles/img/2/0/0", 404},
      {"/tiles/img/2/0/0.png/..", 404},        {"/tiles/img/2/0", 404},
      {"/tiles/img/x/0/0.png", 400},           {"/tiles/img/-1/0/0.png", 400},
      {"/tiles/img/2/+1/0.png", 400},          {"/tiles/img/2/0/1234567890.png", 400},
      {"/tiles/img/2/0/.png", 404},            {"/tiles/../../../../etc/passwd", 404},
      {"/tiles/img/../../../etc/passwd.png", 404}, {"/tiles/%2e%2e/0/0/0.png", 404},
      {"/tiles/..%2f..%2fetc/0/0/0.png", 404}, {"/../../etc/passwd", 404},
      {"/leaflet/../../../etc/passwd", 404},   {"/api/images/../../etc/passwd", 404},
      {"/app.js/..", 404},                     {"/index.html", 404},
  };
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  for (const Case &c : cases) {
    httplib::Result res = server.Get(c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path << ": " << res->body;
    EXPECT_EQ(res->body.find("root:"), std::string::npos) << c.path;
  }
  const std::string refusal = "rhl serve: GET /tiles/nope/0/0/0.png: 404 no image 'nope'\n";
  std::string log = server.LogOnceItSays(refusal);
  EXPECT_NE(log.find(refusal), std::string::npos) << log;
  EXPECT_EQ(server.Stop(SIGINT), 0);
}

TEST_F(Serve, TheCatalogueNamesEachImageOnceAndThePageIsServedFromRhlAlone) {
  std::string other = TempDir() + "/again";
  mkdir(other.c_str(), 0755);
  std::ofstream(other + "/img.url") << image_ << "\n";
  Served server({link_, other + "/img.url"});
  ASSERT_GT(server.port(), 0) << server.err();
  EXPECT_NE(server.out().find("2 images on 127.0.0.1 port " + std::to_string(server.port()) +
                              ", reachable from this machine only"),
            std::string::npos)
      << server.out();

  httplib::Result res = server.Get("/api/images");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  nlohmann::json j = nlohmann::json::parse(res->body);
  EXPECT_EQ(j["tile_size"], 256);
  EXPECT_EQ(j["module"]["name"], "ECW.RHL");
  ASSERT_EQ(j["images"].size(), 2u);
  EXPECT_EQ(j["images"][0]["id"], "img");
  EXPECT_EQ(j["images"][1]["id"], "img-2");
  EXPECT_EQ(j["images"][1]["tiles"], "/tiles/img-2/{z}/{x}/{y}.png");
  // Names as given, never the paths they were resolved to.
  EXPECT_EQ(j["images"][0]["file"], link_);
  EXPECT_FALSE(j["images"][0].contains("resolved"));
  EXPECT_EQ(j["images"][0]["width"], 1003);
  EXPECT_EQ(j["images"][0]["height"], 701);
  EXPECT_EQ(j["images"][0]["top_level"], 2);
  std::vector<double> gt = j["images"][0]["geotransform"];
  EXPECT_EQ(gt, std::vector<double>(kGeo.begin(), kGeo.end()));
  EXPECT_EQ(j["images"][0]["control_points"][1],
            nlohmann::json({1003.0, 701.0, kGeo[0] + 1003 * kGeo[1], kGeo[3] + 701 * kGeo[5]}));
  res = server.Get("/tiles/img-2/0/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);

  // The page names only files rhl itself serves.
  res = server.Get("/");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(res->body.find("://"), std::string::npos) << "no address elsewhere";
  std::map<std::string, std::string> expected = {
      {"/leaflet/leaflet.js", "text/javascript; charset=utf-8"},
      {"/leaflet/leaflet.css", "text/css; charset=utf-8"},
      {"/app.js", "text/javascript; charset=utf-8"},
      {"/app.css", "text/css; charset=utf-8"},
      {"/leaflet/images/layers.png", "image/png"}};
  std::set<std::string> named = {"/leaflet/images/layers.png"};  // named by leaflet.css
  for (const char *attribute : {" src=\"", " href=\""}) {
    for (size_t at = res->body.find(attribute); at != std::string::npos;
         at = res->body.find(attribute, at + 1)) {
      size_t from = at + strlen(attribute);
      std::string ref = res->body.substr(from, res->body.find('"', from) - from);
      if (ref.rfind("data:", 0) != 0) named.insert(ref);  // data: loads nothing
    }
  }
  EXPECT_EQ(named.size(), expected.size());
  for (const std::string &path : named) {
    ASSERT_EQ(expected.count(path), 1u) << path;
    httplib::Result asset = server.Get(path);
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->status, 200) << path;
    EXPECT_EQ(asset->get_header_value("Content-Type"), expected[path]) << path;
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST_F(Serve, ParallelRequestsGetTheTilesSequentialOnesGet) {
  Served server({link_});
  ASSERT_GT(server.port(), 0) << server.err();
  std::vector<std::string> paths;
  for (int z = 1; z <= 2; ++z)
    for (int x = 0; x < (z == 1 ? 2 : 4); ++x)
      for (int y = 0; y < (z == 1 ? 2 : 3); ++y)
        paths.push_back("/tiles/img/" + std::to_string(z) + "/" + std::to_string(x) + "/" +
                        std::to_string(y) + ".png");
  std::vector<std::string> sequential;
  for (const std::string &path : paths) {
    httplib::Result res = server.Get(path);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << path;
    sequential.push_back(res->body);
  }
  constexpr int kThreads = 4, kRounds = 3;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      httplib::Client client("127.0.0.1", server.port());
      for (size_t i = 0; i < paths.size() * kRounds; ++i) {
        size_t k = (i * (2 * t + 1) + t) % paths.size();  // each thread in its own order
        httplib::Result res = client.Get(paths[k].c_str());
        if (!res || res->status != 200 || res->body != sequential[k]) ++wrong[t];
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Serve, AFailingViewIsAnHttpErrorWithTheModulesMessageAndServingGoesOn) {
  Fixture fixture;
  fixture.width = 600;
  fixture.height = 600;
  std::string image = Make("fragile.tif", fixture);
  std::string link = Link("fragile.url", image);
  std::string whole = ReadAll(image);
  Served server({link});
  ASSERT_GT(server.port(), 0) << server.err();
  const std::string tile = "/tiles/fragile/2/1/1.png";  // 1:1, below the middle
  httplib::Result res = server.Get(tile);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);

  struct Case {
    const char *what, *reply, *message;
  } cases[] = {
      {"gone", "the module could not set up the view",
       "Error: ERROR opening view into ECW file: '"},
      {"truncated", "the module did not deliver line ", "Error: Error reading line from ECW file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    size_t logged = server.err().size();
    if (std::string(c.what) == "gone") {
      ASSERT_EQ(rename(image.c_str(), (image + ".away").c_str()), 0);
    } else {
      std::ofstream(image + ".part", std::ios::binary) << whole.substr(0, whole.size() / 2);
      ASSERT_EQ(rename((image + ".part").c_str(), image.c_str()), 0);
    }
    res = server.Get(tile);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_NE(res->body.find(c.reply), std::string::npos) << res->body;
    EXPECT_NE(res->body.find("--src 256,256,512,512 --scale 1 of '" + link + "'"),
              std::string::npos)
        << res->body;
    const std::string refusal = "rhl serve: GET " + tile + ": 500 view --src";
    std::string log = server.LogOnceItSays(refusal, logged);
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_NE(log.find(refusal), std::string::npos) << log;

    // Still serving; and the tile again once the file is whole.
    res = server.Get("/api/images");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    std::ofstream(image, std::ios::binary) << whole;
    res = server.Get(tile);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(Serve, StopsCleanlyOnEitherSignalWithAConnectionOpen) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    Served server({link_});
    ASSERT_GT(server.port(), 0) << server.err();
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    httplib::Result res = client.Get("/tiles/img/2/0/0.png");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(server.Stop(signal), 0) << server.err();
    EXPECT_NE(server.out().find("rhl serve: stopped\n"), std::string::npos) << server.out();
  }
}

TEST_F(Serve, BadCommandLinesAndAddressesFailBeforeServing) {
  std::string missing = TempDir() + "/missing.ecw";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string said;  // on standard error, or standard output for --help
  } cases[] = {
      {{"serve"}, 2, "FILE is required"},
      {{"serve", link_, "--port", "70000"}, 2, "--port"},
      {{"serve", link_, "--port", "x"}, 2, "--port"},
      {{"serve", link_, "--bogus"}, 2, "--bogus"},
      {{"serve", "--help"}, 0, "Usage"},
      {{"serve", missing}, 1, "rhl: could not open '" + missing + "'"},
      {{"serve", missing}, 1, "rhl serve: '" + missing + "' is left out of the map"},
      {{"serve", missing, missing + "2"}, 1, "rhl serve: no image could be opened"},
      {{"serve", Link("text.txt", "not an image")}, 1, "GDAL cannot read it"},
      {{"serve", link_, "--bind", "192.0.2.1", "--port", "0"}, 1,
       "'192.0.2.1' is not an address of this machine"},
      {{"serve", link_, "--bind", "no-such-host.invalid", "--port", "0"}, 1, "is not an address"},
      {{"serve", link_, "--module", TempDir() + "/none.RHL"}, 1, "none.RHL"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.back());
    Outcome r = RunRhl(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.said), std::string::npos) << r.err << r.out;
  }
  // A port in use: said so, with the way out.
  Served first({link_});
  ASSERT_GT(first.port(), 0) << first.err();
  std::string port = std::to_string(first.port());
  Outcome busy = RunRhl({"serve", link_, "--port", port});
  EXPECT_EQ(busy.status, 1);
  EXPECT_NE(busy.err.find("rhl serve: cannot listen on 127.0.0.1 port " + port + ": port " + port +
                          " is in use (--port 0 picks a free one)"),
            std::string::npos)
      << busy.err;
}


TEST_F(Serve, AnImageWhoseSourceIsAFifoFailsAtOnceAndTheOthersServe) {
  std::string fifo = TempDir() + "/serve.fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string vrt = TempDir() + "/waits.vrt";
  std::ofstream(vrt) << "<VRTDataset rasterXSize=\"300\" rasterYSize=\"200\"><VRTRasterBand "
                        "dataType=\"Byte\" band=\"1\"><SimpleSource><SourceFilename>"
                     << fifo << "</SourceFilename></SimpleSource></VRTRasterBand></VRTDataset>\n";
  Served server({Link("waits.url", vrt), link_});
  ASSERT_GT(server.port(), 0) << server.err();
  for (int round = 0; round < 2; ++round) {
    auto start = std::chrono::steady_clock::now();
    httplib::Result res = server.Get("/tiles/waits/0/0/0.png");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_NE(res->body.find("'" + fifo + "' is a FIFO, not a regular file"), std::string::npos)
        << res->body;
    EXPECT_LT(seconds, 1.0) << "refused at once";
    res = server.Get("/tiles/img/0/0/0.png");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << "the other image still serves";
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}
