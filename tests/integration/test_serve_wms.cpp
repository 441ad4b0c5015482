// rhl serve's WMS over real HTTP: every refusal a ServiceException with its
// code, maps on an image's own grid byte for byte what `rhl render` gives,
// 1.3.0's axis order, the mosaic's order, feature info, the capabilities.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "fixtures.h"
#include "serve_support.h"

using namespace fixtures;
using namespace serve_support;

namespace {

// The code of the ServiceException in a WMS answer, or what is wrong with it.
std::string ExceptionCode(const httplib::Result &res, const std::string &version) {
  if (!res) return "(no answer)";
  pugi::xml_document doc;
  if (!doc.load_string(res->body.c_str())) return "(not XML: " + res->body.substr(0, 80) + ")";
  pugi::xml_node report = doc.child("ServiceExceptionReport");
  if (!report) return "(no ServiceExceptionReport)";
  if (report.attribute("version").value() != version) return "(version " + version + " wanted)";
  return report.child("ServiceException").attribute("code").value();
}

std::string Box(double a, double b, double c, double d) {
  char text[200];
  snprintf(text, sizeof text, "%.17g,%.17g,%.17g,%.17g", a, b, c, d);
  return text;
}

class ServeWms : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture utm;  // UTM zone 33N, 2.5 m pixels
    utm.width = 700;
    utm.height = 500;
    utm.srs = "EPSG:32633";
    utm.overviews = true;
    utm_ = Make("grid.tif", utm);
    Fixture geo;  // longitude 10 to 14, latitude 47 to 50
    geo.width = 400;
    geo.height = 300;
    geo.geo = {10, 0.01, 0, 50, 0, -0.01};
    geo.srs = "EPSG:4326";
    geo_ = Make("geo.tif", geo);
    geo.geo = {12, 0.01, 0, 49, 0, -0.01};  // over geo's south-east quarter
    geo.value = [](int x, int y, int b, double) { return (x + y + b * 50) % 200 + 50; };
    over_ = Make("over.tif", geo);
    Fixture flat;  // no georeferencing
    flat.georeferenced = false;
    flat_ = Make("flat.tif", flat);
  }
  static std::string utm_, geo_, over_, flat_;
};
std::string ServeWms::utm_, ServeWms::geo_, ServeWms::over_, ServeWms::flat_;

const std::string kMap13 = "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&STYLES=&FORMAT=image/png";
const std::string kMap11 = "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&STYLES=&FORMAT=image/png";

}  // namespace

TEST_F(ServeWms, EveryBadRequestGetsItsServiceExceptionAndServingGoesOn) {
  const std::string good = "&LAYERS=grid&CRS=EPSG:32633&BBOX=500000,4199000,500500,4200000"
                           "&WIDTH=100&HEIGHT=200";
  const std::string gfi0 = "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetFeatureInfo&STYLES=" + good;
  const std::string gfi = gfi0 + "&QUERY_LAYERS=grid&INFO_FORMAT=application/json";
  const std::string map0 = "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&FORMAT=image/png";
  struct Case {
    std::string path, version, code;
  } cases[] = {
      {"/wms?SERVICE=WMS", "1.3.0", "MissingParameterValue"},
      {"/wms?SERVICE=WMS&REQUEST=GetLegend", "1.3.0", "OperationNotSupported"},
      {"/wms?SERVICE=WFS&REQUEST=GetMap", "1.3.0", "InvalidParameterValue"},
      {kMap13 + "&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0", "MissingParameterValue"},
      {kMap13 + "&LAYERS=grid&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0", "MissingParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&WIDTH=1&HEIGHT=1", "1.3.0", "MissingParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&HEIGHT=1", "1.3.0", "MissingParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=1", "1.3.0", "MissingParameterValue"},
      {"/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap" + good, "1.3.0", "MissingParameterValue"},
      {kMap13 + "&LAYERS=nowhere&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "LayerNotDefined"},
      {kMap13 + "&LAYERS=grid,flat&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "LayerNotDefined"},  // not georeferenced: not a WMS layer
      {map0 + good + "&STYLES=fancy", "1.3.0", "StyleNotDefined"},
      {map0 + good + "&STYLES=default,", "1.3.0", ""},  // a map: no exception
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32632&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0", "InvalidCRS"},
      {kMap13 + "&LAYERS=grid&CRS=/etc/passwd&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0", "InvalidCRS"},
      {kMap13 + "&LAYERS=grid&CRS=+proj=longlat&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0", "InvalidCRS"},
      {kMap13 + "&LAYERS=grid&CRS=AUTO2:42001,1,0,0&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidCRS"},
      {kMap11 + "&LAYERS=grid&SRS=EPSG:32632&BBOX=0,0,1,1&WIDTH=1&HEIGHT=1", "1.1.1", "InvalidSRS"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=1,1,0,0&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},  // inverted
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,0,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},  // empty
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=nan,0,1,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,inf,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1,1&WIDTH=1&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=4097&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=1&HEIGHT=99999999999999999999",
       "1.3.0", "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=0&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=-5&HEIGHT=1", "1.3.0",
       "InvalidParameterValue"},
      {"/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&FORMAT=image/gif" + good, "1.3.0",
       "InvalidFormat"},
      {kMap13 + good + "&TRANSPARENT=maybe", "1.3.0", "InvalidParameterValue"},
      {kMap13 + good + "&BGCOLOR=red", "1.3.0", "InvalidParameterValue"},
      {kMap13 + good + "&BGCOLOR=0xFFFFFFF", "1.3.0", "InvalidParameterValue"},
      {gfi + "&I=100&J=0", "1.3.0", "InvalidPoint"},
      {gfi + "&I=0&J=-1", "1.3.0", "InvalidPoint"},
      {gfi + "&I=0", "1.3.0", "MissingParameterValue"},
      {gfi0 + "&QUERY_LAYERS=grid&I=0&J=0&INFO_FORMAT=text/html", "1.3.0", "InvalidFormat"},
      {gfi0 + "&I=0&J=0&QUERY_LAYERS=nowhere", "1.3.0", "LayerNotDefined"},
      {gfi0 + "&I=0&J=0", "1.3.0", "MissingParameterValue"},
      {gfi + "&I=0&J=0&FEATURE_COUNT=0", "1.3.0", "InvalidParameterValue"},
      {"/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetFeatureInfo&STYLES=&LAYERS=grid&SRS=EPSG:32633"
       "&BBOX=500000,4199000,500500,4200000&WIDTH=100&HEIGHT=200&QUERY_LAYERS=grid&X=5&Y=200",
       "1.1.1", "InvalidPoint"},
  };
  Served server({utm_, flat_});
  ASSERT_GT(server.port(), 0) << server.err();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    httplib::Result res = server.Get(c.path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    if (c.code.empty()) {
      EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
      continue;
    }
    EXPECT_EQ(res->get_header_value("Content-Type"),
              c.version == "1.3.0" ? "text/xml" : "application/vnd.ogc.se_xml");
    EXPECT_EQ(ExceptionCode(res, c.version), c.code) << res->body;
  }
  // Text a client sent comes back escaped, and the XML stays well formed.
  httplib::Result res = server.Get(kMap13 + "&LAYERS=%0A%01%3C%26&CRS=EPSG:32633&BBOX=0,0,1,1"
                                            "&WIDTH=1&HEIGHT=1");
  ASSERT_TRUE(res);
  EXPECT_EQ(ExceptionCode(res, "1.3.0"), "LayerNotDefined");
  EXPECT_NE(res->body.find("there is no layer '\\n\\x01&lt;&amp;'"), std::string::npos) << res->body;
  // Refused at 200, as WMS clients expect, and logged as a refusal, escaped once.
  const std::string logged = "GET /wms: 200 LayerNotDefined: there is no layer '\\n\\x01<&'";
  EXPECT_NE(server.LogOnceItSays(logged).find(logged), std::string::npos) << server.err();
  // EXCEPTIONS=BLANK: a refused map is an empty image of the size asked for.
  res = server.Get(kMap13 + "&LAYERS=nowhere&CRS=EPSG:32633&BBOX=0,0,1,1&WIDTH=30&HEIGHT=20"
                            "&TRANSPARENT=TRUE&EXCEPTIONS=BLANK");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->get_header_value("Content-Type"), "image/png");
  Pixels blank = DecodePng(res->body);
  EXPECT_EQ(blank.width, 30);
  EXPECT_EQ(blank.bands, 4);
  EXPECT_EQ(blank.at(5, 5)[3], 0);
  // Still serving, and letter case of names and CRS does not matter.
  res = server.Get("/wms?service=wms&version=1.3.0&request=getmap&layers=grid&crs=epsg:32633"
                   "&bbox=500000,4199000,500500,4200000&width=100&height=200&format=IMAGE/PNG");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, AMapOnTheImagesOwnGridIsWhatRhlRenderGivesForThatWindowAndSize) {
  struct Case {
    int64_t left, top, width, height, n;  // the map's window in image pixels, and its reduction
    int64_t viewLeft, viewTop, viewRight, viewBottom;  // the part of the image in it
  } cases[] = {
      {100, 50, 256, 128, 1, 100, 50, 356, 178},
      {0, 0, 256, 200, 2, 0, 0, 512, 400},
      {30, 60, 100, 80, 3, 30, 60, 330, 300},
      {500, 300, 200, 200, 2, 500, 300, 700, 500},   // reaching past the bottom-right corner
      {-100, -50, 100, 100, 2, 0, 0, 100, 150},      // reaching past the top-left corner
      {600, -4, 40, 30, 4, 600, 0, 700, 116},
  };
  Served server({utm_});
  ASSERT_GT(server.port(), 0) << server.err();
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE("window " + std::to_string(c.left) + "," + std::to_string(c.top) + " at 1:" +
                 std::to_string(c.n));
    double x0 = kGeo[0] + c.left * kGeo[1], y1 = kGeo[3] + c.top * kGeo[5];
    double x1 = x0 + c.width * c.n * kGeo[1], y0 = y1 + c.height * c.n * kGeo[5];
    httplib::Result res =
        server.Get(kMap13 + "&LAYERS=grid&CRS=EPSG:32633&TRANSPARENT=TRUE&BBOX=" +
                   Box(x0, y0, x1, y1) + "&WIDTH=" + std::to_string(c.width) +
                   "&HEIGHT=" + std::to_string(c.height));
    ASSERT_TRUE(res);
    ASSERT_EQ(res->get_header_value("Content-Type"), "image/png") << res->body;
    EXPECT_NE(res->get_header_value("Server-Timing").find("warp;dur=0.000"), std::string::npos)
        << "no warp on the image's own grid";
    Pixels map = DecodePng(res->body);
    ASSERT_EQ(map.width, c.width);
    ASSERT_EQ(map.height, c.height);

    std::string out = TempDir() + "/own" + std::to_string(n++) + ".png";
    int64_t vw = (c.viewRight - c.viewLeft) / c.n, vh = (c.viewBottom - c.viewTop) / c.n;
    Outcome r = RunRhl({"render", utm_, "-o", out, "--src",
                        std::to_string(c.viewLeft) + "," + std::to_string(c.viewTop) + "," +
                            std::to_string(c.viewRight) + "," + std::to_string(c.viewBottom),
                        "--outsize", std::to_string(vw), std::to_string(vh)});
    ASSERT_EQ(r.status, 0) << r.err;
    Pixels view = ReadPng(out);
    ASSERT_EQ(view.width, vw);
    const int64_t ox = (c.viewLeft - c.left) / c.n, oy = (c.viewTop - c.top) / c.n;
    int wrong = 0;
    for (int y = 0; y < map.height; ++y) {
      for (int x = 0; x < map.width; ++x) {
        bool inside = x >= ox && x < ox + vw && y >= oy && y < oy + vh;
        const uint8_t *m = map.at(x, y);
        if (map.bands == 4 && m[3] != (inside ? 255 : 0)) ++wrong;
        if (inside && memcmp(m, view.at(x - ox, y - oy), 3) != 0) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(map.bands, ox == 0 && oy == 0 && vw == c.width && vh == c.height ? 3 : 4);
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, EPSG4326In130IsLatitudeFirstAndTheMosaicDrawsLaterImagesOnTop) {
  Served server({geo_, over_});
  ASSERT_GT(server.port(), 0) << server.err();
  auto get = [&](const std::string &path) {
    httplib::Result res = server.Get(path + "&TRANSPARENT=TRUE&WIDTH=400&HEIGHT=300");
    EXPECT_TRUE(res && res->get_header_value("Content-Type") == "image/png")
        << (res ? res->body : "no answer");
    return res ? DecodePng(res->body) : Pixels();
  };
  Pixels latFirst = get(kMap13 + "&LAYERS=geo&CRS=EPSG:4326&BBOX=47,10,50,14");
  Pixels v111 = get(kMap11 + "&LAYERS=geo&SRS=EPSG:4326&BBOX=10,47,14,50");
  Pixels crs84 = get(kMap13 + "&LAYERS=geo&CRS=CRS:84&BBOX=10,47,14,50");
  Pixels lonFirst = get(kMap13 + "&LAYERS=geo&CRS=EPSG:4326&BBOX=10,47,14,50");
  Pixels image = ReadPng(geo_);
  ASSERT_EQ(latFirst.width, 400);
  EXPECT_EQ(latFirst.data, std::vector<uint8_t>(image.data));  // the image itself: 3 bands
  EXPECT_EQ(v111.data, latFirst.data);
  EXPECT_EQ(crs84.data, latFirst.data);
  // Given longitude first, the box is latitude 10 to 14: nothing there.
  ASSERT_EQ(lonFirst.bands, 4);
  EXPECT_EQ(lonFirst.at(200, 150)[3], 0);

  // The mosaic: 'over' (given second) covers geo's south-east quarter.
  Pixels mosaic = get(kMap13 + "&LAYERS=mosaic&CRS=EPSG:4326&BBOX=46,10,50,16");
  Pixels over = ReadPng(over_);
  ASSERT_EQ(mosaic.bands, 4);
  // Pixel (x, y) lies at longitude 10 + 0.015 (x + 0.5), latitude 50 - 0.01333 (y + 0.5):
  // off both images' grids, so warped.
  EXPECT_EQ(mosaic.at(20, 20)[3], 255);  // geo alone
  EXPECT_EQ(mosaic.at(380, 20)[3], 0);   // neither
  EXPECT_EQ(mosaic.at(380, 200)[3], 255);  // over alone
  // Where both are (longitude 13, latitude 48), over's pixels: near its
  // column 99, row 99.
  const uint8_t *both = mosaic.at(199, 149);
  EXPECT_EQ(both[3], 255);
  for (int b = 0; b < 3; ++b) EXPECT_LE(abs(both[b] - over.at(99, 99)[b]), 3) << "band " << b;
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, ALayerNamedAgainIsDrawnOnceWhereItIsNamedLast) {
  // A layer drawn again only covers what it drew before: the map is the one
  // of each layer once, and a request naming one a thousand times (which
  // held a handler for a thousand views and warps) costs one.
  Served server({geo_, over_});
  ASSERT_GT(server.port(), 0) << server.err();
  auto get = [&](const std::string &layers) {
    httplib::Result res = server.Get(kMap13 + "&CRS=EPSG:4326&BBOX=46,10,50,16&WIDTH=400"
                                     "&HEIGHT=300&LAYERS=" + layers);
    EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    return res ? res->body : std::string();
  };
  std::string overs;
  for (int i = 0; i < 1400; ++i) overs += ",over";
  struct Case {
    std::string layers, same;
  } cases[] = {
      {"geo,over,geo", "over,geo"},
      {"mosaic,geo", "over,geo"},
      {"over,mosaic", "mosaic"},
      {"geo" + overs, "mosaic"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.layers.substr(0, 40));
    std::string map = get(c.layers), same = get(c.same);
    EXPECT_FALSE(map.empty());
    EXPECT_TRUE(map == same);
  }
  EXPECT_FALSE(get("over,geo") == get("geo,over"));  // the order still counts
  // Under a point: each layer once, top first.
  httplib::Result res = server.Get("/api/point?crs=EPSG:4326&x=13&y=48&layers=over,geo,over" +
                                   overs);
  ASSERT_TRUE(res);
  nlohmann::json features = nlohmann::json::parse(res->body)["features"];
  ASSERT_EQ(features.size(), 2u) << res->body;
  EXPECT_EQ(features[0]["id"], "over");
  EXPECT_EQ(features[1]["id"], "geo");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, FeatureInfoGivesTheLayersCoordinatesPixelAndColour) {
  Served server({utm_, geo_});
  ASSERT_GT(server.port(), 0) << server.err();
  Pixels image = ReadPng(utm_);
  // A map of image columns 100 to 200, rows 50 to 150 at 1:1; its pixel
  // (10, 20) is image pixel (110, 70).
  std::string query = "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetFeatureInfo&STYLES=&LAYERS=grid"
                      "&CRS=EPSG:32633&BBOX=500250,4199625,500500,4199875&WIDTH=100&HEIGHT=100"
                      "&QUERY_LAYERS=grid&I=10&J=20";
  httplib::Result res = server.Get(query + "&INFO_FORMAT=application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->get_header_value("Content-Type"), "application/json") << res->body;
  nlohmann::json j = nlohmann::json::parse(res->body);
  EXPECT_EQ(j["type"], "FeatureCollection");
  EXPECT_EQ(j["crs"], "EPSG:32633");
  ASSERT_EQ(j["features"].size(), 1u);
  nlohmann::json p = j["features"][0]["properties"];
  EXPECT_EQ(p["layer"], "grid");
  EXPECT_EQ(p["crs"], "EPSG:32633");
  EXPECT_EQ(p["column"], 110);
  EXPECT_EQ(p["row"], 70);
  EXPECT_DOUBLE_EQ(p["x"].get<double>(), 500276.25);
  EXPECT_DOUBLE_EQ(p["y"].get<double>(), 4199823.75);
  const uint8_t *rgb = image.at(110, 70);
  EXPECT_EQ(p["rgb"], nlohmann::json({rgb[0], rgb[1], rgb[2]}));
  EXPECT_EQ(p["nodata"], false);
  EXPECT_EQ(j["features"][0]["geometry"]["type"], "Point");  // longitude and latitude

  res = server.Get(query + "&INFO_FORMAT=text/plain");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("pixel: column 110, row 70"), std::string::npos) << res->body;
  EXPECT_NE(res->body.find("EPSG:32633: 500276.25, 4199823.75"), std::string::npos) << res->body;

  // The same point in Web Mercator through the page's query; and a point
  // where no image is.
  res = server.Get("/api/point?crs=EPSG:32633&x=500276.25&y=4199823.75&layers=grid");
  ASSERT_TRUE(res);
  EXPECT_EQ(nlohmann::json::parse(res->body)["features"][0]["properties"]["rgb"], p["rgb"]);
  res = server.Get("/api/point?x=0&y=0");
  ASSERT_TRUE(res);
  EXPECT_EQ(nlohmann::json::parse(res->body)["features"].size(), 0u);
  for (const char *bad : {"/api/point?x=1", "/api/point?x=a&y=1", "/api/point?x=1&y=1&crs=EPSG:1",
                          "/api/point?x=1&y=1&layers=nowhere", "/api/point?x=1&y=1&count=0"}) {
    res = server.Get(bad);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << bad;
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, PointsAndBoxesFarPastTheEarthAreAnsweredAsNowhere) {
  // Web Mercator coordinates such as these held a handler for seconds (1e17)
  // or for ever (1e300) inside GDAL while the client waited; each is now
  // answered as a place where no image is.
  Served server({utm_, geo_});
  ASSERT_GT(server.port(), 0) << server.err();
  const std::string far = "&CRS=EPSG:3857&BBOX=-1e300,-1e300,1e300,1e300&WIDTH=64&HEIGHT=64";
  const std::string info = "/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetFeatureInfo&STYLES="
                           "&LAYERS=mosaic&QUERY_LAYERS=mosaic&INFO_FORMAT=application/json";
  struct Case {
    std::string path;
    bool json;  // a feature collection, else a map
  } cases[] = {
      {"/api/point?x=-1e17&y=40", true},
      {"/api/point?x=1e300&y=-1e300&crs=EPSG:3857&layers=grid,geo", true},
      {info + far + "&I=0&J=0", true},
      {info + "&CRS=EPSG:3857&BBOX=-1e17,0,1e17,1e16&WIDTH=10&HEIGHT=10&I=9&J=9", true},
      {kMap13 + "&LAYERS=mosaic" + far, false},
      {kMap13 + "&LAYERS=grid&CRS=EPSG:3857&BBOX=-1e17,0,1e17,1e16&WIDTH=64&HEIGHT=64", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    httplib::Result res = server.Get(c.path);
    ASSERT_TRUE(res) << "no answer";
    EXPECT_EQ(res->status, 200) << res->body;
    if (c.json) {
      EXPECT_EQ(nlohmann::json::parse(res->body)["features"].size(), 0u) << res->body;
    } else {
      EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
    }
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeWms, CapabilitiesListTheLayersTheirCrssExtentsAndLimits) {
  Served server({utm_, geo_, flat_});
  ASSERT_GT(server.port(), 0) << server.err();
  struct Case {
    std::string version, root, crsName, type;
  } cases[] = {{"1.3.0", "WMS_Capabilities", "CRS", "text/xml"},
               {"1.1.1", "WMT_MS_Capabilities", "SRS", "application/vnd.ogc.wms_xml"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.version);
    httplib::Result res =
        server.Get("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=" + c.version);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), c.type);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(res->body.c_str()));
    pugi::xml_node root = doc.child(c.root.c_str());
    ASSERT_TRUE(root);
    EXPECT_EQ(std::string(root.attribute("version").value()), c.version);
    if (c.version == "1.3.0") {
      EXPECT_EQ(std::string(root.child("Service").child_value("MaxWidth")), "4096");
      EXPECT_EQ(std::string(root.child("Service").child_value("MaxHeight")), "4096");
    }
    pugi::xml_node top = root.child("Capability").child("Layer");
    EXPECT_EQ(std::string(top.child_value("Name")), "mosaic");
    std::vector<std::string> crss, names;
    for (pugi::xml_node n : top.children(c.crsName.c_str())) crss.push_back(n.child_value());
    for (pugi::xml_node n : top.children("Layer")) names.push_back(n.child_value("Name"));
    std::vector<std::string> expected = {"EPSG:4326", "CRS:84", "EPSG:3857", "EPSG:32633"};
    if (c.version == "1.1.1") expected.erase(expected.begin() + 1);  // CRS:84 is 1.3.0's
    EXPECT_EQ(crss, expected);
    EXPECT_EQ(names, std::vector<std::string>({"grid", "geo"}));  // 'flat' has no place
    // geo's extent in EPSG:4326, latitude first in 1.3.0.
    pugi::xml_node geo = top.find_child_by_attribute("Layer", "queryable", "1");
    while (geo && std::string(geo.child_value("Name")) != "geo") geo = geo.next_sibling("Layer");
    pugi::xml_node box = geo.find_child_by_attribute("BoundingBox", c.crsName.c_str(), "EPSG:4326");
    ASSERT_TRUE(box);
    EXPECT_EQ(std::string(box.attribute("minx").value()), c.version == "1.3.0" ? "47" : "10");
    EXPECT_EQ(std::string(box.attribute("maxy").value()), c.version == "1.3.0" ? "14" : "50");
    // The addresses are where the client reached the server.
    std::string href = top.parent().child("Request").child("GetMap").child("DCPType").child("HTTP")
                           .child("Get").child("OnlineResource").attribute("xlink:href").value();
    EXPECT_EQ(href, "http://127.0.0.1:" + std::to_string(server.port()) + "/wms?");
  }
  // At the server's bare address too, as a client given only that asks.
  httplib::Result res = server.Get("/?SERVICE=WMS&REQUEST=GetCapabilities");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<WMS_Capabilities"), std::string::npos);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}
