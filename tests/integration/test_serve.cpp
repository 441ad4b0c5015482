// rhl serve as a process on a free loopback port, fetched over real HTTP;
// every tile is checked pixel for pixel against `rhl render` of the same
// source window and scale, with GDAL reading both PNGs.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <map>
#include <set>
#include <thread>

#include "cpl_vsi.h"
#include "fixtures.h"
#include "pngtile.h"
#include "pyramid.h"

extern char **environ;

using namespace fixtures;
using rhl::web::TileView;

namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// rhl with `args`, its output and errors going to files named after `tag`.
pid_t Spawn(const std::vector<std::string> &args, const std::string &tag) {
  std::vector<char *> argv;
  std::string exe = RHL_EXE;
  argv.push_back(&exe[0]);
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  std::string out = TempDir() + "/" + tag + ".out", err = TempDir() + "/" + tag + ".err";
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

// The exit status, or -1 when the process does not end within `seconds`
// (or ends by a signal).
int Wait(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome RunRhl(const std::vector<std::string> &args) {
  static int n = 0;
  std::string tag = "run" + std::to_string(n++);
  int status = Wait(Spawn(args, tag), 120);
  return {status, ReadAll(TempDir() + "/" + tag + ".out"), ReadAll(TempDir() + "/" + tag + ".err")};
}

// A running `rhl serve`: started on a free port, stopped by a signal.
class Served {
 public:
  explicit Served(std::vector<std::string> args) {
    static int n = 0;
    tag_ = "serve" + std::to_string(n++);
    args.insert(args.begin(), "serve");
    if (std::find(args.begin(), args.end(), "--port") == args.end()) {
      args.push_back("--port");
      args.push_back("0");
    }
    pid_ = Spawn(args, tag_);
    const std::string address = "open http://127.0.0.1:";
    for (int i = 0; pid_ > 0 && port_ == 0 && i < 600; ++i) {
      std::string out = ReadAll(TempDir() + "/" + tag_ + ".out");
      size_t at = out.find(address);
      if (at != std::string::npos && out.find("/ ", at) != std::string::npos) {
        port_ = atoi(out.c_str() + at + address.size());
      } else if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
  ~Served() {
    if (pid_ > 0) Stop(SIGTERM);
  }
  int port() const { return port_; }
  // Its exit status after `signal`.
  int Stop(int signal) {
    kill(pid_, signal);
    int status = Wait(pid_, 60);
    pid_ = -1;
    return status;
  }
  std::string out() const { return ReadAll(TempDir() + "/" + tag_ + ".out"); }
  std::string err() const { return ReadAll(TempDir() + "/" + tag_ + ".err"); }
  // The log from byte `from` on, once it holds `text` (a request is logged
  // after its response has gone out) or after a few seconds.
  std::string LogOnceItSays(const std::string &text, size_t from = 0) const {
    std::string log;
    for (int i = 0; i < 100; ++i) {
      log = err().substr(std::min(from, err().size()));
      if (log.find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return log;
  }
  httplib::Result Get(const std::string &path) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_url_encode(false);  // the path goes out exactly as written
    return client.Get(path.c_str());
  }

 private:
  std::string tag_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A PNG's pixels as GDAL reads them: all bands, interleaved.
struct Pixels {
  int width = 0, height = 0, bands = 0;
  std::vector<uint8_t> data;
  const uint8_t *at(int x, int y) const { return &data[((size_t)y * width + x) * bands]; }
};

Pixels ReadPng(const std::string &path) {
  GDALAllRegister();
  Pixels p;
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return p;
  p.width = GDALGetRasterXSize(ds);
  p.height = GDALGetRasterYSize(ds);
  p.bands = GDALGetRasterCount(ds);
  p.data.resize((size_t)p.width * p.height * p.bands);
  if (GDALDatasetRasterIO(ds, GF_Read, 0, 0, p.width, p.height, p.data.data(), p.width, p.height,
                          GDT_Byte, p.bands, nullptr, p.bands, (GSpacing)p.bands * p.width,
                          1) != CE_None)
    p = Pixels{};
  GDALClose(ds);
  return p;
}

Pixels DecodePng(const std::string &bytes) {
  static int n = 0;
  std::string name = "/vsimem/serve-tile-" + std::to_string(n++) + ".png";
  VSIFCloseL(VSIFileFromMemBuffer(name.c_str(), (GByte *)bytes.data(), bytes.size(), FALSE));
  Pixels p = ReadPng(name);
  VSIUnlink(name.c_str());
  return p;
}

// How far a tile is from `view`: its top-left equals the view's pixels, opaque,
// and the rest is transparent. An empty string when it holds.
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
    link_ = TempDir() + "/img.url";
    std::ofstream(link_) << image_ << "\n";
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
  EXPECT_EQ(j["images"][0]["resolved"], image_);
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
  std::string link = TempDir() + "/fragile.url";
  std::ofstream(link) << image << "\n";
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
      {{"serve", missing}, 1, "rhl serve: the module does not serve '" + missing + "'"},
      {{"serve", image_}, 1, "rhl serve: the module does not serve '" + image_ + "'"},
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

TEST(ServePyramid, LevelsRunFromOneTileToOneToOne) {
  struct Case {
    int32_t width, height;
    int top;
  } cases[] = {{1, 1, 0},     {256, 256, 0},  {257, 10, 1},          {512, 512, 1},
               {513, 1, 2},   {2048, 1024, 3}, {1003, 701, 2},        {10, 70000, 9},
               {INT32_MAX, 1, 23}};
  for (const Case &c : cases)
    EXPECT_EQ(rhl::web::TopLevel(c.width, c.height), c.top) << c.width << " x " << c.height;
}

TEST(ServePyramid, TileViewsAtTheEdgesOfHugeImages) {
  struct Case {
    int32_t width, height;
    int level;
    int64_t x, y;
    bool exists;
    RhlRect source;
    int32_t w, h;
  } cases[] = {
      // The whole of a 2^31 - 1 pixel wide image in one tile: scale 2^-23.
      {INT32_MAX, 3, 0, 0, 0, true, {0, 0, INT32_MAX, 3}, 256, 1},
      {INT32_MAX, 3, 0, 1, 0, false, {}, 0, 0},
      // Its last column at 1:1.
      {INT32_MAX, 3, 23, 8388607, 0, true, {2147483392, 0, INT32_MAX, 3}, 255, 3},
      {INT32_MAX, 3, 23, 8388608, 0, false, {}, 0, 0},
      {INT32_MAX, 3, 24, 0, 0, false, {}, 0, 0},
      // A sliver: one source column at an eighth keeps one pixel.
      {2049, 100, 1, 1, 0, true, {2048, 0, 2049, 100}, 1, 13},
      {100, 100, -1, 0, 0, false, {}, 0, 0},
      {100, 100, 0, -1, 0, false, {}, 0, 0},
      {0, 100, 0, 0, 0, false, {}, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " tile " +
                 std::to_string(c.level) + "/" + std::to_string(c.x) + "/" + std::to_string(c.y));
    TileView view;
    ASSERT_EQ(rhl::web::TileViewOf(c.width, c.height, c.level, c.x, c.y, &view), c.exists);
    if (!c.exists) continue;
    EXPECT_EQ(view.request.source.left, c.source.left);
    EXPECT_EQ(view.request.source.top, c.source.top);
    EXPECT_EQ(view.request.source.right, c.source.right);
    EXPECT_EQ(view.request.source.bottom, c.source.bottom);
    EXPECT_EQ(view.width, c.w);
    EXPECT_EQ(view.height, c.h);
    EXPECT_EQ(view.request.scale, view.scale);
  }
}

TEST(ServePyramid, ImageIdsAreSafeInPathsAndUnique) {
  std::vector<std::string> ids = rhl::web::ImageIds(
      {"a/world.url", "b/world.url", "world.ecw", "c/w\xc3\xb6rld map.ecw", "d/.hidden", "e/"});
  EXPECT_EQ(ids, std::vector<std::string>(
                     {"world", "world-2", "world-3", "w--rld-map", "-hidden", "image"}));
}

TEST(ServePyramid, TilePixelsMustFitTheTile) {
  std::vector<uint8_t> rgb(257 * 3, 7);
  std::string png, error;
  EXPECT_FALSE(rhl::web::EncodeTile(rgb.data(), 257, 1, 256, &png, &error));
  EXPECT_EQ(error, "a tile's pixels must fit the tile");
  EXPECT_FALSE(rhl::web::EncodeTile(rgb.data(), 0, 1, 256, &png, &error));
  ASSERT_TRUE(rhl::web::EncodeTile(rgb.data(), 3, 1, 4, &png, &error)) << error;
  Pixels p = DecodePng(png);
  ASSERT_EQ(p.bands, 4);
  EXPECT_EQ(p.at(2, 0)[0], 7);
  EXPECT_EQ(p.at(2, 0)[3], 255);
  EXPECT_EQ(p.at(3, 0)[3], 0);
  EXPECT_EQ(p.at(0, 3)[3], 0);
}
