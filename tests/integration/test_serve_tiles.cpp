// rhl serve's tiles over real HTTP: WMTS in both encodings and its
// refusals, XYZ and TileJSON, the pixel frame's tiles, the page's catalogue,
// and files that do not open.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "fixtures.h"
#include "serve_support.h"

using namespace fixtures;
using namespace serve_support;

namespace {

class ServeTiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture utm;
    utm.width = 1003;
    utm.height = 701;
    utm.srs = "EPSG:32633";
    utm.overviews = true;
    utm_ = Make("scene.tif", utm);
    Fixture holes = utm;  // nodata 0 in a band: black stands for no data
    holes.width = 300;
    holes.height = 200;
    holes.value = [](int x, int, int, double v) { return x < 100 ? 0.0 : v; };
    holes_ = Make("holes.tif", holes);
    GDALDatasetH ds = GDALOpen(holes_.c_str(), GA_Update);
    for (int b = 1; b <= 3; ++b) GDALSetRasterNoDataValue(GDALGetRasterBand(ds, b), 0);
    GDALClose(ds);
    Fixture flat;
    flat.georeferenced = false;
    flat.width = 300;
    flat.height = 300;
    flat_ = Make("flat.tif", flat);
  }
  static std::string utm_, holes_, flat_;
};
std::string ServeTiles::utm_, ServeTiles::holes_, ServeTiles::flat_;

std::string OwsCode(const httplib::Result &res, std::string *locator) {
  pugi::xml_document doc;
  if (!res || !doc.load_string(res->body.c_str())) return "(not XML)";
  pugi::xml_node e = doc.child("ows:ExceptionReport").child("ows:Exception");
  *locator = e.attribute("locator").value();
  return e.attribute("exceptionCode").value();
}

}  // namespace

TEST_F(ServeTiles, WmtsTilesAreTheSameInBothEncodingsAndNativeOnesArePixelTiles) {
  Served server({utm_});
  ASSERT_GT(server.port(), 0) << server.err();
  struct Case {
    std::string set, matrix;
    int row, col;
  } cases[] = {{"native-scene", "2", 1, 1}, {"native-scene", "0", 0, 0},
               {"native-scene", "2", 2, 3}, {"GoogleMapsCompatible", "14", 6323, 8875}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.set + " " + c.matrix);
    std::string rest = "/wmts/1.0.0/scene/default/" + c.set + "/" + c.matrix + "/" +
                       std::to_string(c.row) + "/" + std::to_string(c.col) + ".png";
    std::string kvp = "/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=scene&STYLE=default"
                      "&FORMAT=image/png&TILEMATRIXSET=" + c.set + "&TILEMATRIX=" + c.matrix +
                      "&TILEROW=" + std::to_string(c.row) + "&TILECOL=" + std::to_string(c.col);
    httplib::Result a = server.Get(rest), b = server.Get(kvp);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->status, 200) << a->body;
    EXPECT_EQ(a->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(a->body, b->body);
    Pixels tile = DecodePng(a->body);
    EXPECT_EQ(tile.width, 256);
    if (c.set != "native-scene") {
      EXPECT_GT(tile.at(128, 128)[3], 0) << "the tile holds part of the image";
      continue;
    }
    // The pixel frame's tile of the same level, column and row.
    httplib::Result pixels = server.Get("/tiles/scene/" + c.matrix + "/" + std::to_string(c.col) +
                                        "/" + std::to_string(c.row) + ".png");
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->body, a->body);
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeTiles, BadWmtsRequestsGetOwsExceptionsWithTheirStatus) {
  const std::string kvp = "/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&STYLE=&FORMAT=image/png";
  const std::string tile = "&TILEMATRIXSET=native-scene&TILEMATRIX=1&TILEROW=0&TILECOL=0";
  struct Case {
    std::string path;
    int status;
    std::string code, locator;
  } cases[] = {
      {"/wmts?SERVICE=WMTS", 400, "MissingParameterValue", "REQUEST"},
      {"/wmts?SERVICE=WMS&REQUEST=GetCapabilities", 400, "InvalidParameterValue", "SERVICE"},
      {"/wmts?SERVICE=WMTS&REQUEST=GetFeatureInfo", 501, "OperationNotSupported", "REQUEST"},
      {kvp + tile, 400, "MissingParameterValue", "LAYER"},
      {kvp + "&LAYER=scene&TILEMATRIX=1&TILEROW=0&TILECOL=0", 400, "MissingParameterValue",
       "TILEMATRIXSET"},
      {kvp + "&LAYER=nowhere" + tile, 400, "InvalidParameterValue", "LAYER"},
      {kvp + "&LAYER=flat" + tile, 400, "InvalidParameterValue", "LAYER"},
      {"/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&STYLE=fancy&FORMAT=image/png&LAYER=scene" +
           tile, 400, "InvalidParameterValue", "STYLE"},
      {"/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&STYLE=&FORMAT=image/tiff&LAYER=scene" +
           tile, 400, "InvalidParameterValue", "FORMAT"},
      {kvp + "&LAYER=scene&TILEMATRIXSET=native-other&TILEMATRIX=1&TILEROW=0&TILECOL=0", 400,
       "InvalidParameterValue", "TILEMATRIXSET"},
      {kvp + "&LAYER=mosaic" + tile, 400, "InvalidParameterValue", "TILEMATRIXSET"},
      {kvp + "&LAYER=scene&TILEMATRIXSET=native-scene&TILEMATRIX=3&TILEROW=0&TILECOL=0", 400,
       "InvalidParameterValue", "TILEMATRIX"},
      {kvp + "&LAYER=scene&TILEMATRIXSET=native-scene&TILEMATRIX=1&TILEROW=2&TILECOL=0", 400,
       "TileOutOfRange", "TILEROW"},
      {kvp + "&LAYER=scene&TILEMATRIXSET=native-scene&TILEMATRIX=1&TILEROW=0&TILECOL=-1", 400,
       "TileOutOfRange", "TILECOL"},
      {kvp + "&LAYER=scene&TILEMATRIXSET=GoogleMapsCompatible&TILEMATRIX=0&TILEROW=0"
             "&TILECOL=99999999999999999999999", 400, "TileOutOfRange", "TILECOL"},
      {"/wmts/1.0.0/scene/default/native-scene/9/0/0.png", 400, "InvalidParameterValue",
       "TILEMATRIX"},
      {"/wmts/1.0.0/scene/default/native-scene/0/0/0.gif", 400, "InvalidParameterValue", "FORMAT"},
      {"/wmts/1.0.0/scene/default/native-scene/0/0", 404, "", ""},
      {"/wmts/2.0.0/scene/default/native-scene/0/0/0.png", 404, "", ""},
  };
  Served server({utm_, flat_});
  ASSERT_GT(server.port(), 0) << server.err();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    httplib::Result res = server.Get(c.path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
    if (c.code.empty()) continue;
    std::string locator;
    EXPECT_EQ(OwsCode(res, &locator), c.code) << res->body;
    EXPECT_EQ(locator, c.locator);
  }
  std::string log = server.LogOnceItSays("TileOutOfRange");
  EXPECT_NE(log.find("rhl serve: GET /wmts: 400 TileOutOfRange: TILEROW '2' is not a row from 0 "
                     "to 1"),
            std::string::npos)
      << log;
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeTiles, WmtsCapabilitiesOfferWebMercatorEverywhereAndEachImagesOwnSet) {
  Served server({utm_, flat_});
  ASSERT_GT(server.port(), 0) << server.err();
  for (const char *path : {"/wmts/1.0.0/WMTSCapabilities.xml",
                           "/wmts?SERVICE=WMTS&REQUEST=GetCapabilities", "/?SERVICE=WMTS&REQUEST=GetCapabilities"}) {
    SCOPED_TRACE(path);
    httplib::Result res = server.Get(path);
    ASSERT_TRUE(res);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(res->body.c_str()));
    pugi::xml_node contents = doc.child("Capabilities").child("Contents");
    std::vector<std::string> layers, sets;
    for (pugi::xml_node l : contents.children("Layer")) layers.push_back(l.child_value("ows:Identifier"));
    for (pugi::xml_node s : contents.children("TileMatrixSet")) sets.push_back(s.child_value("ows:Identifier"));
    EXPECT_EQ(layers, std::vector<std::string>({"scene", "mosaic"}));
    EXPECT_EQ(sets, std::vector<std::string>({"GoogleMapsCompatible", "native-scene"}));
    // The native set: three levels, the finest 1:1 at the image's origin.
    pugi::xml_node native = contents.find_child_by_attribute("TileMatrixSet", "", "");
    for (pugi::xml_node s : contents.children("TileMatrixSet"))
      if (std::string(s.child_value("ows:Identifier")) == "native-scene") native = s;
    EXPECT_EQ(std::string(native.child_value("ows:SupportedCRS")), "urn:ogc:def:crs:EPSG::32633");
    std::vector<std::string> sizes, corners;
    for (pugi::xml_node m : native.children("TileMatrix")) {
      sizes.push_back(std::string(m.child_value("MatrixWidth")) + "x" + m.child_value("MatrixHeight"));
      corners.push_back(m.child_value("TopLeftCorner"));
    }
    EXPECT_EQ(sizes, std::vector<std::string>({"1x1", "2x2", "4x3"}));
    EXPECT_EQ(corners.back(), "500000 4200000");
    EXPECT_EQ(std::string(native.last_child().child_value("ScaleDenominator")),
              "8928.57142857143");  // 2.5 m / 0.28 mm
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeTiles, XyzTilesAndTileJsonInEveryFormatAndOnlyWhereTheMatrixHasTiles) {
  Served server({utm_, holes_});
  ASSERT_GT(server.port(), 0) << server.err();
  struct Case {
    std::string path;
    int status;
    std::string type;
  } cases[] = {
      {"/xyz/scene/14/8875/6323.png", 200, "image/png"},
      {"/xyz/scene/14/8875/6323.jpg", 200, "image/jpeg"},
      {"/xyz/scene/14/8875/6323.jpeg", 200, "image/jpeg"},
      {"/xyz/scene/14/8875/6323.webp", 200, "image/webp"},
      {"/xyz/mosaic/0/0/0.png", 200, "image/png"},
      {"/xyz/scene/0/0/0.png", 200, "image/png"},
      {"/xyz/scene/3/0/0.png", 200, "image/png"},  // nothing there: transparent
      {"/xyz/scene/0/1/0.png", 404, ""},
      {"/xyz/scene/2/0/4.png", 404, ""},
      {"/xyz/scene/31/0/0.png", 404, ""},
      {"/xyz/scene/-1/0/0.png", 404, ""},
      {"/xyz/scene/1/0/0.gif", 404, ""},
      {"/xyz/scene/1/0.png", 404, ""},
      {"/xyz/nowhere/1/0/0.png", 404, ""},
      {"/xyz/nowhere.json", 404, ""},
      {"/xyz/scene.json", 200, "application/json"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    httplib::Result res = server.Get(c.path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
    if (c.status == 200) {
      EXPECT_EQ(res->get_header_value("Content-Type"), c.type);
    }
  }
  Pixels empty = DecodePng(server.Get("/xyz/scene/3/0/0.png")->body);
  EXPECT_EQ(empty.at(100, 100)[3], 0);

  nlohmann::json j = nlohmann::json::parse(server.Get("/xyz/scene.json")->body);
  EXPECT_EQ(j["scheme"], "xyz");
  EXPECT_EQ(j["tiles"][0], "http://127.0.0.1:" + std::to_string(server.port()) +
                               "/xyz/scene/{z}/{x}/{y}.png");
  EXPECT_EQ(j["maxzoom"], 16);  // 2.5 m pixels: level 16 has 2.4 m
  EXPECT_NEAR(j["bounds"][0].get<double>(), 15, 0.01);  // UTM 33N's central meridian
  EXPECT_NEAR(j["bounds"][3].get<double>(), 37.94, 0.01);

  // Black stands for no data in 'holes' (nodata 0): transparent, on its own
  // grid as off it.
  for (const char *path : {"/tiles/holes/0/0/0.png", "/xyz/holes/15/17749/12645.png"}) {
    SCOPED_TRACE(path);
    Pixels tile = DecodePng(server.Get(path)->body);
    ASSERT_EQ(tile.bands, 4);
    int opaqueBlack = 0;
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        const uint8_t *p = tile.at(x, y);
        opaqueBlack += p[3] == 255 && (p[0] | p[1] | p[2]) == 0;
      }
    EXPECT_EQ(opaqueBlack, 0);
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}

TEST_F(ServeTiles, TheCatalogueDescribesEveryLayerAndTheMosaic) {
  std::string missing = TempDir() + "/missing.tif";
  Served server({utm_, missing, flat_});
  ASSERT_GT(server.port(), 0) << server.err();
  EXPECT_NE(server.err().find("rhl serve: '" + missing + "' is left out of the map"),
            std::string::npos)
      << server.err();
  EXPECT_NE(server.err().find("rhl serve: '" + flat_ + "' is served in its own pixel frame only: "
                              "it is not georeferenced"),
            std::string::npos)
      << server.err();
  nlohmann::json j = nlohmann::json::parse(server.Get("/api/layers")->body);
  ASSERT_EQ(j["layers"].size(), 2u);
  nlohmann::json scene = j["layers"][0], flat = j["layers"][1];
  EXPECT_EQ(scene["id"], "scene");
  EXPECT_EQ(scene["file"], utm_);
  EXPECT_EQ(scene["georeferenced"], true);
  EXPECT_EQ(scene["crs"]["id"], "EPSG:32633");
  EXPECT_EQ(scene["crs"]["name"], "WGS 84 / UTM zone 33N");
  EXPECT_EQ(scene["width"], 1003);
  EXPECT_EQ(scene["bands"].size(), 3u);
  EXPECT_EQ(scene["bands"][0], nlohmann::json({{"type", "Byte"}, {"color", "undefined"},
                                                {"description", ""}, {"nodata", nullptr}}));
  EXPECT_EQ(scene["nodata"], false);
  EXPECT_EQ(scene["xyz"], "/xyz/scene/{z}/{x}/{y}.png");
  EXPECT_EQ(scene["tiles"], "/tiles/scene/{z}/{x}/{y}.png");
  EXPECT_EQ(scene["wmts_sets"], nlohmann::json({"GoogleMapsCompatible", "native-scene"}));
  EXPECT_EQ(scene["zoom"]["max"], 16);
  EXPECT_EQ(scene["bounds"].size(), 4u);
  std::vector<double> gt = scene["geotransform"];
  EXPECT_EQ(gt, std::vector<double>(kGeo.begin(), kGeo.end()));
  EXPECT_EQ(flat["georeferenced"], false);
  EXPECT_EQ(flat["note"], "it is not georeferenced");
  EXPECT_EQ(flat["crs"], nullptr);
  EXPECT_EQ(flat["xyz"], nullptr);
  EXPECT_EQ(j["mosaic"]["layers"], nlohmann::json({"scene"}));
  EXPECT_EQ(j["mosaic"]["xyz"], "/xyz/mosaic/{z}/{x}/{y}.png");
  // The pixel frame's tiles and points of the image without georeferencing.
  httplib::Result res = server.Get("/tiles/flat/1/0/0.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  nlohmann::json point =
      nlohmann::json::parse(server.Get("/api/point?crs=pixels:flat&x=10.5&y=20.5")->body);
  EXPECT_EQ(point["features"][0]["properties"]["column"], 10);
  EXPECT_EQ(point["features"][0]["properties"]["row"], 20);
  EXPECT_EQ(point["features"][0]["properties"]["crs"], nullptr);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.err();
}
