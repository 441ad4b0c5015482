// rhl serve's parts on their own: the CRS list and its transformations,
// tile matrices, and reading request values.
#include <gtest/gtest.h>

#include <math.h>

#include <thread>

#include "cpl_conv.h"
#include "crs.h"
#include "gdal.h"
#include "ogc.h"
#include "ogr_spatialref.h"
#include "ogr_srs_api.h"
#include "tilematrix.h"

using namespace rhl::web;

namespace {

// GDAL's WKT of a CRS; a PROJ string's has no identifier.
std::string Wkt(const char *definition) {
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRSetFromUserInput(srs, definition);
  char *wkt = nullptr;
  const char *options[] = {"FORMAT=WKT2_2019", nullptr};
  OSRExportToWktEx(srs, &wkt, options);
  std::string text = wkt;
  CPLFree(wkt);
  OSRDestroySpatialReference(srs);
  return text;
}

constexpr double kHalf = 20037508.342789244;

}  // namespace

TEST(ServeCrs, AClientsCrsIsOnlyEverLookedUpInTheList) {
  CrsList list;
  struct Case {
    const char *asked;
    bool urnToo;
    int found;
  } cases[] = {
      {"EPSG:4326", false, kEpsg4326}, {"epsg:4326", false, kEpsg4326},
      {"CRS:84", false, kCrs84},       {"crs:84", false, kCrs84},
      {"EPSG:3857", false, kEpsg3857}, {"EPSG:4326 ", false, -1},
      {"", false, -1},                 {"EPSG:32633", false, -1},  // not listed yet
      {"/etc/passwd", false, -1},      {"+proj=longlat", false, -1},
      {"urn:ogc:def:crs:EPSG::4326", false, -1},
      {"urn:ogc:def:crs:EPSG::4326", true, kEpsg4326},
      {"URN:OGC:DEF:CRS:OGC:1.3:CRS84", true, kCrs84},
  };
  for (const Case &c : cases) EXPECT_EQ(list.Find(c.asked, c.urnToo), c.found) << c.asked;
  EXPECT_TRUE(list[kEpsg4326].northFirst);
  EXPECT_FALSE(list[kCrs84].northFirst);
  EXPECT_FALSE(list[kEpsg3857].northFirst);
  EXPECT_DOUBLE_EQ(list[kEpsg4326].metresPerUnit, 6378137.0 * 2 * M_PI / 360);
  EXPECT_TRUE(list.Same(kEpsg4326, kCrs84));
  EXPECT_FALSE(list.Same(kEpsg4326, kEpsg3857));
}

TEST(ServeCrs, ImagesCrssJoinTheListOncePerIdentifier) {
  CrsList list;
  int utm = list.AddImageCrs(Wkt("EPSG:32633"), "EPSG:32633");
  EXPECT_EQ(utm, 3);
  EXPECT_EQ(list[utm].id, "EPSG:32633");
  EXPECT_EQ(list[utm].urn, "urn:ogc:def:crs:EPSG::32633");
  EXPECT_EQ(list[utm].name, "WGS 84 / UTM zone 33N");
  EXPECT_DOUBLE_EQ(list[utm].metresPerUnit, 1);
  EXPECT_EQ(list.Find("EPSG:32633"), utm);
  EXPECT_EQ(list.AddImageCrs(Wkt("EPSG:32633"), "EPSG:32633"), utm);
  EXPECT_EQ(list.AddImageCrs(Wkt("EPSG:4326"), "EPSG:4326"), kEpsg4326);
  // Without an identifier of its own: the one GDAL finds for it.
  EXPECT_EQ(list.AddImageCrs(Wkt("+proj=utm +zone=33 +datum=WGS84 +units=m"), ""), utm);
  // One GDAL finds none for: listed apart, never found by a client.
  int own = list.AddImageCrs(Wkt("+proj=ortho +lat_0=10 +lon_0=20 +datum=WGS84"), "");
  EXPECT_EQ(own, 4);
  EXPECT_EQ(list[own].id, "");
  EXPECT_EQ(list.Find(""), -1);
  EXPECT_EQ(list.AddImageCrs("not a CRS", ""), -1);
  EXPECT_EQ(list.AddImageCrs("", "EPSG:4326"), -1);
  EXPECT_EQ(list.size(), 5);
}

TEST(ServeCrs, BoundsTransformEvenWherePartOfTheBoxLiesOutsideTheTarget) {
  CrsList list;
  Box out;
  // The world in Web Mercator: beyond its latitudes the points that do transform.
  ASSERT_TRUE(list.Borrow(kEpsg4326, kEpsg3857).Bounds(Box{-180, -90, 180, 90}, &out));
  EXPECT_NEAR(out.minx, -kHalf, 1);
  EXPECT_NEAR(out.maxx, kHalf, 1);
  EXPECT_GT(out.maxy, kHalf);
  EXPECT_TRUE(std::isfinite(out.maxy));
  ASSERT_TRUE(list.Borrow(kEpsg3857, kCrs84).Bounds(Box{-kHalf, -kHalf, kHalf, kHalf}, &out));
  EXPECT_NEAR(out.maxy, 85.0511287798066, 1e-9);
  // The same CRS: as it is.
  ASSERT_TRUE(list.Borrow(kCrs84, kEpsg4326).Bounds(Box{1, 2, 3, 4}, &out));
  EXPECT_EQ(out.maxy, 4);
  EXPECT_FALSE(list.Borrow(kCrs84, kEpsg3857).Bounds(Box{1, 2, 1, 4}, &out));  // empty
  EXPECT_FALSE(list.Borrow(-1, kEpsg3857).ok());
  EXPECT_FALSE(list.Borrow(kCrs84, 99).ok());
}

TEST(ServeCrs, CoordinatesPastAnyPlaceOnEarthNeverReachATransformation) {
  // GDAL wraps Web Mercator's x into longitudes in time that grows with it:
  // seconds for 1e17, for ever for 1e300. Such points fail at once; the
  // others beside them transform as before.
  CrsList list;
  struct Case {
    double x, y;
    bool transforms;
  } cases[] = {
      {1113194.9079327357, 0, true}, {-kHalf, kHalf, true},      {1e10, 0, true},
      {-1e17, 40, false},            {0, 1e300, false},          {1e300, 1e300, false},
      {-1.7976931348623157e308, 0, false}, {NAN, 0, false},      {0, INFINITY, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.x);
    double x[2] = {c.x, 1113194.9079327357}, y[2] = {c.y, 0};
    int ok[2] = {-1, -1};
    EXPECT_EQ(list.Borrow(kEpsg3857, kCrs84).Points(2, x, y, ok), c.transforms);
    EXPECT_EQ(ok[0], c.transforms ? 1 : 0);
    if (!c.transforms) {
      EXPECT_TRUE(x[0] == HUGE_VAL && y[0] == HUGE_VAL);
    }
    EXPECT_EQ(ok[1], 1);
    EXPECT_NEAR(x[1], 10, 1e-9);
  }
  // A box reaching past them: the bounds of its part within them.
  Box out;
  ASSERT_TRUE(list.Borrow(kEpsg3857, kCrs84).Bounds(Box{-1e300, -1e300, 1e300, 1e300}, &out));
  EXPECT_TRUE(std::isfinite(out.minx) && std::isfinite(out.maxy));
  EXPECT_FALSE(list.Borrow(kEpsg3857, kCrs84).Bounds(Box{1e17, 0, 1e18, 1}, &out));
  ASSERT_TRUE(list.Borrow(kCrs84, kEpsg4326).Bounds(Box{1e17, 0, 1e18, 1}, &out));  // the same CRS
  EXPECT_EQ(out.minx, 1e17);
}

TEST(ServeCrs, BoundsFromTheBoxsEdgesAreGdalsWithinAPixel) {
  CrsList list;
  const int utm = list.AddImageCrs(Wkt("EPSG:32633"), "EPSG:32633");
  const int south = list.AddImageCrs(Wkt("EPSG:3031"), "EPSG:3031");  // polar stereographic
  ASSERT_EQ(south, utm + 1);
  struct Case {
    const char *what;
    int from, to;
    Box box;
  } cases[] = {
      {"a Web Mercator tile in degrees", kEpsg3857, kCrs84, {0, 0, 2504688.54, 2504688.54}},
      {"a high one", kEpsg3857, kCrs84, {-5009377.09, 15028131.26, -2504688.54, 17532819.80}},
      {"degrees in Web Mercator", kCrs84, kEpsg3857, {-20, 10, 35, 60}},
      {"a tile in UTM", kEpsg3857, utm, {1252344.27, 5009377.09, 1878516.41, 5635549.22}},
      {"UTM in Web Mercator", utm, kEpsg3857, {300000, 4800000, 700000, 5300000}},
      {"UTM in degrees", utm, kCrs84, {166000, 0, 834000, 9300000}},
      {"degrees in UTM", kEpsg4326, utm, {9, 40, 21, 55}},
      {"around the south pole", south, kCrs84, {-1e6, -1e6, 1e6, 1e6}},
      {"beside the south pole", south, kCrs84, {1e6, 1e6, 2e6, 2e6}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Box ours;
    ASSERT_TRUE(list.Borrow(c.from, c.to).Bounds(c.box, &ours));
    // GDAL's own, on a transformation of the same two CRSs.
    OGRSpatialReference from, to;
    for (auto [srs, i] : {std::pair<OGRSpatialReference *, int>{&from, c.from}, {&to, c.to}}) {
      ASSERT_EQ(srs->importFromWkt(list[i].wkt.c_str()), OGRERR_NONE);
      srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    }
    OGRCoordinateTransformation *ct = OGRCreateCoordinateTransformation(&from, &to);
    ASSERT_NE(ct, nullptr);
    Box gdal;
    ASSERT_TRUE(ct->TransformBounds(c.box.minx, c.box.miny, c.box.maxx, c.box.maxy, &gdal.minx,
                                    &gdal.miny, &gdal.maxx, &gdal.maxy, 21));
    delete ct;
    // A pixel of a 256-pixel map of GDAL's box.
    const double px = (gdal.maxx - gdal.minx) / 256, py = (gdal.maxy - gdal.miny) / 256;
    EXPECT_NEAR(ours.minx, gdal.minx, px);
    EXPECT_NEAR(ours.maxx, gdal.maxx, px);
    EXPECT_NEAR(ours.miny, gdal.miny, py);
    EXPECT_NEAR(ours.maxy, gdal.maxy, py);
    EXPECT_LE(ours.minx, gdal.minx + px / 64);
    EXPECT_LE(ours.miny, gdal.miny + py / 64);
    EXPECT_GE(ours.maxx, gdal.maxx - px / 64);
    EXPECT_GE(ours.maxy, gdal.maxy - py / 64);
  }
}

TEST(ServeCrs, TransformationsLentToManyThreadsGiveWhatOneGives) {
  CrsList list;
  double x0 = 1113194.9079327357, y0 = 0;  // longitude 10 on the equator
  {
    int ok = 0;
    ASSERT_TRUE(list.Borrow(kEpsg3857, kCrs84).Points(1, &x0, &y0, &ok));
  }
  ASSERT_NEAR(x0, 10, 1e-9);
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        CrsList::Transform there = list.Borrow(kEpsg3857, kCrs84);
        CrsList::Transform back = list.Borrow(kCrs84, kEpsg3857);
        double x = 1113194.9079327357, y = 0;
        int ok = 0;
        there.Points(1, &x, &y, &ok);
        wrong[t] += x != x0 || y != y0;
        back.Points(1, &x, &y, &ok);
        wrong[t] += fabs(x - 1113194.9079327357) > 1e-6;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(ServeTileMatrix, WebMercatorsLevelsAndTheTilesABoxTouches) {
  TileMatrix zero = GoogleMapsLevel(0), three = GoogleMapsLevel(3);
  EXPECT_DOUBLE_EQ(zero.cell, 156543.03392804097);
  EXPECT_NEAR(zero.scaleDenominator, 559082264.0287178, 1e-6);
  EXPECT_EQ(three.columns, 8);
  EXPECT_EQ(GoogleMapsLevel(kDeepestZoom).columns, (int64_t)1 << kDeepestZoom);
  Box b = TileBox(GoogleMapsLevel(1), 1, 0);
  EXPECT_DOUBLE_EQ(b.minx, 0);
  EXPECT_DOUBLE_EQ(b.maxy, kHalf);
  EXPECT_DOUBLE_EQ(b.miny, 0);
  EXPECT_EQ(GoogleMapsSet(4).levels.size(), 5u);
  struct Case {
    Box box;
    bool any;
    TileRange range;
  } cases[] = {
      {{1, 1, 2, 2}, true, {4, 4, 3, 3}},                        // inside one tile
      {{-1, -1, 1, 1}, true, {3, 4, 3, 4}},                      // across four
      {{0, 0, kHalf / 4, kHalf / 4}, true, {4, 4, 3, 3}},        // exactly one tile
      {{-3 * kHalf, 0, -2 * kHalf, 1}, false, {}},               // off the matrix
      {{-kHalf * 2, -kHalf * 2, kHalf * 2, kHalf * 2}, true, {0, 7, 0, 7}},
  };
  for (const Case &c : cases) {
    TileRange r;
    ASSERT_EQ(TilesCovering(three, c.box, &r), c.any) << c.box.minx << "," << c.box.miny;
    if (!c.any) continue;
    EXPECT_EQ(r.minCol, c.range.minCol);
    EXPECT_EQ(r.maxCol, c.range.maxCol);
    EXPECT_EQ(r.minRow, c.range.minRow);
    EXPECT_EQ(r.maxRow, c.range.maxRow);
  }
}

TEST(ServeRequestValues, NumbersCountsListsAndTheClientsAddress) {
  double v = 0;
  EXPECT_TRUE(ReadNumber("1e3", &v));
  EXPECT_EQ(v, 1000);
  EXPECT_TRUE(ReadNumber("-20037508.342789244", &v));
  for (const char *bad : {"", " 1", "1 ", "1,", "nan", "inf", "-inf", "1e999", "x"})
    EXPECT_FALSE(ReadNumber(bad, &v)) << bad;
  int64_t n = 0;
  EXPECT_TRUE(ReadWhole("007", 10, &n));
  EXPECT_EQ(n, 7);
  for (const char *bad : {"", "+1", "-1", "1.0", "11", "1234567890123456789", " 1"})
    EXPECT_FALSE(ReadWhole(bad, 10, &n)) << bad;
  EXPECT_EQ(Split("", ','), std::vector<std::string>({""}));
  EXPECT_EQ(Split("a,,b", ','), std::vector<std::string>({"a", "", "b"}));
  EXPECT_EQ(Split("a,", ','), std::vector<std::string>({"a", ""}));
  EXPECT_EQ(Split("1.0.0/a/b.png", '/'), std::vector<std::string>({"1.0.0", "a", "b.png"}));

  rhl::web::Catalogue empty;  // BaseUrl reads only the request
  Site site{empty, "127.0.0.1:8080"};
  struct Case {
    const char *host, *base;
  } cases[] = {
      {"example.org:81", "http://example.org:81"}, {"[::1]:8080", "http://[::1]:8080"},
      {"", "http://127.0.0.1:8080"}, {"a b", "http://127.0.0.1:8080"},
      {"x\"/><y", "http://127.0.0.1:8080"},
  };
  for (const Case &c : cases) {
    rhl::web::HttpRequest q;
    if (*c.host) q.headers.emplace_back("host", c.host);
    EXPECT_EQ(BaseUrl(site, q), c.base) << c.host;
  }
  rhl::web::HttpRequest q;
  q.headers.emplace_back("host", std::string(300, 'a'));
  EXPECT_EQ(BaseUrl(site, q), "http://127.0.0.1:8080");
}

// Behind a proxy on this machine the request names a loopback host (the
// server bound to loopback answers no other) and the proxy says where its
// client reached it; documents then give that address. A client that reached
// the server under another name keeps the name it used.
TEST(ServeRequestValues, TheAddressAProxyInFrontSaysItsClientsReachedItAt) {
  rhl::web::Catalogue empty;
  Site site{empty, "127.0.0.1:8080"};
  const std::string longName(300, 'a');
  struct Case {
    const char *host, *forwardedHost, *forwardedProto, *base;
  } cases[] = {
      {"localhost", "maps.example.org", "", "http://maps.example.org"},
      {"127.0.0.1:8081", "maps.example.org:8443", "https", "https://maps.example.org:8443"},
      {"[::1]:8081", "maps.example.org", "HTTPS", "https://maps.example.org"},
      {"localhost", "maps.example.org", "http", "http://maps.example.org"},
      {"localhost", "maps.example.org", "gopher", "http://maps.example.org"},
      // chained proxies: the first is the client's
      {"localhost", "maps.example.org, inner.example", "https, http", "https://maps.example.org"},
      {"localhost", " maps.example.org ", "", "http://maps.example.org"},
      // not a plain host: the request's own Host
      {"localhost:8081", "x\"/><y", "https", "http://localhost:8081"},
      {"localhost:8081", "", "https", "http://localhost:8081"},
      {"localhost:8081", longName.c_str(), "", "http://localhost:8081"},
      // a request that reached the server under another name: that name
      {"example.org:81", "evil.example", "https", "http://example.org:81"},
      {"localhost.attacker.example", "evil.example", "", "http://localhost.attacker.example"},
      // no usable Host: where the server listens
      {"", "maps.example.org", "https", "http://127.0.0.1:8080"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.host) + " / " + c.forwardedHost + " / " + c.forwardedProto);
    rhl::web::HttpRequest q;
    if (*c.host) q.headers.emplace_back("host", c.host);
    if (*c.forwardedHost) q.headers.emplace_back("x-forwarded-host", c.forwardedHost);
    if (*c.forwardedProto) q.headers.emplace_back("x-forwarded-proto", c.forwardedProto);
    EXPECT_EQ(BaseUrl(site, q), c.base);
  }
}
