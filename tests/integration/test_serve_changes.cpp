// rhl serve with an image replaced under it: one of the same geometry goes on
// being served; one of another size, placement or CRS is refused with the
// change named, on every map route, never placed in the old geometry; put
// back as it was, it is served again.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "fixtures.h"
#include "serve_support.h"

using namespace fixtures;
using namespace serve_support;

namespace {

struct Replacement {
  const char *what;
  void (*change)(Fixture &f);
  const char *named;  // in the refusal; null when the image is still served
};

const Replacement kReplacements[] = {
    {"new pixels", [](Fixture &f) { f.value = [](int, int, int, double p) { return 255 - p; }; },
     nullptr},
    {"another size", [](Fixture &f) { f.width = 32; }, "its size was 64 x 48 and is 32 x 48"},
    {"another placement", [](Fixture &f) { f.geo[0] += 1000; }, "its geotransform was"},
    {"another CRS", [](Fixture &f) { f.srs = "EPSG:32632"; }, "its CRS is another"},
    {"no georeferencing", [](Fixture &f) { f.georeferenced = false; },
     "it was georeferenced and is not"},
};

TEST(ServeChanges, AnImageOfAnotherGeometryIsRefusedNamingTheChangeUntilItIsBack) {
  Fixture original;
  original.srs = "EPSG:32633";
  std::string served = Make("served.tif", original);
  Served server({served});
  ASSERT_GT(server.port(), 0) << server.err();
  const char *const paths[] = {"/tiles/served/0/0/0.png", "/xyz/served/0/0/0.png",
                               "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=served&STYLES="
                               "&CRS=EPSG:32633&BBOX=500000,4199880,500160,4200000&WIDTH=64"
                               "&HEIGHT=48&FORMAT=image/png"};
  for (const Replacement &r : kReplacements) {
    Fixture f = original;
    r.change(f);
    std::string replacement = Make("replacement.tif", f);
    ASSERT_EQ(rename(replacement.c_str(), served.c_str()), 0) << r.what;
    for (const char *path : paths) {
      httplib::Result res = server.Get(path);
      ASSERT_TRUE(res) << r.what << ": " << path;
      if (r.named == nullptr) {
        EXPECT_EQ(res->status, 200) << r.what << ": " << path << ": " << res->body;
        continue;
      }
      EXPECT_EQ(res->status, 500) << r.what << ": " << path;
      EXPECT_NE(res->body.find("changed since rhl serve opened it: "), std::string::npos)
          << r.what << ": " << path << ": " << res->body;
      EXPECT_NE(res->body.find(r.named), std::string::npos) << r.what << ": " << res->body;
    }
    // Back as it was: served again.
    std::string back = Make("back.tif", original);
    ASSERT_EQ(rename(back.c_str(), served.c_str()), 0);
    httplib::Result res = server.Get(paths[0]);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << r.what << ": " << res->body;
  }
  EXPECT_EQ(server.Stop(SIGINT), 0);
}

}  // namespace
