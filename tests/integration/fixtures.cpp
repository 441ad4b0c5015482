#include "fixtures.h"

#include <math.h>

#include <cmath>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "cpl_string.h"
#include "gdal_alg.h"
#include "gdal_priv.h"
#include "ogr_srs_api.h"

namespace fixtures {
namespace {

std::string gDir;

void RemoveDir() {
  if (!gDir.empty()) {
    std::string cmd = "rm -rf '" + gDir + "'";
    if (system(cmd.c_str()) != 0) { /* best effort */ }
  }
}

double PatternValue(int x, int y, int b, GDALDataType type) {
  if (type == GDT_Byte) return (x * 5 + y * 3 + b * 70 + (x * y) % 17) % 256;
  return 300.0 + x * 37.0 + y * 11.0 + b * 1000.0 + (x * y) % 97;
}

}  // namespace

bool Sampled(GDALRasterBandH band, int left, int top, int sw, int sh, int w, int h) {
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = GRIORA_Average;
  int l = left, t = top, xs = sw, ys = sh;
  int level = GDALBandGetBestOverviewLevel2(GDALRasterBand::FromHandle(band), l, t, xs, ys, w, h,
                                            &extra);
  double ratio = level < 0 ? 1.0
                           : (double)GDALGetRasterBandXSize(band) /
                                 GDALGetRasterBandXSize(GDALGetOverview(band, level));
  double ratioY = level < 0 ? 1.0
                            : (double)GDALGetRasterBandYSize(band) /
                                  GDALGetRasterBandYSize(GDALGetOverview(band, level));
  return (double)sw / ratio / w * ((double)sh / ratioY / h) > 64.0;
}

std::string TempDir() {
  if (gDir.empty()) {
    char templ[] = "/tmp/rhl-integration-XXXXXX";
    gDir = mkdtemp(templ);
    atexit(RemoveDir);
  }
  return gDir;
}

std::string Link(const std::string &name, const std::string &target) {
  std::string path = TempDir() + "/" + name;
  std::ofstream(path) << target << "\n";
  return path;
}

std::string Make(const std::string &name, const Fixture &s) {
  GDALAllRegister();
  std::string path = TempDir() + "/" + name;
  GDALDriverH mem = GDALGetDriverByName("MEM");
  int bands = s.paletted ? 1 : s.bands;
  GDALDatasetH ds = GDALCreate(mem, "", s.width, s.height, bands, s.type, nullptr);
  std::vector<double> row(s.width);
  for (int b = 0; b < bands; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b + 1);
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        row[x] = s.paletted ? (x / 3 + y / 5) % 7 : PatternValue(x, y, b, s.type);
        if (s.value) row[x] = s.value(x, y, b, row[x]);
      }
      if (GDALRasterIO(band, GF_Write, 0, y, s.width, 1, row.data(), s.width, 1, GDT_Float64, 0,
                       0) != CE_None)
        throw std::runtime_error("cannot write fixture");
    }
  }
  if (s.paletted) {
    GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
    for (int i = 0; i < 7; ++i) {
      GDALColorEntry e = {(short)(i * 40), (short)(255 - i * 30), (short)(i * i * 5), 255};
      GDALSetColorEntry(table, i, &e);
    }
    GDALSetRasterColorTable(GDALGetRasterBand(ds, 1), table);
    GDALDestroyColorTable(table);
  }
  if (s.georeferenced) {
    GeoTransform gt = s.geo;
    GDALSetGeoTransform(ds, gt.data());
  }
  if (!s.srs.empty()) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    if (OSRSetFromUserInput(srs, s.srs.c_str()) != OGRERR_NONE)
      throw std::runtime_error("fixture: no CRS " + s.srs);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
  }
  char **options = nullptr;
  if (s.driver == "GTiff") {
    options = CSLSetNameValue(options, "TILED", "YES");
    options = CSLSetNameValue(options, "BLOCKXSIZE", "64");
    options = CSLSetNameValue(options, "BLOCKYSIZE", "64");
  } else {
    options = CSLSetNameValue(options, "REVERSIBLE", "YES");
    options = CSLSetNameValue(options, "QUALITY", "100");
  }
  GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(s.driver.c_str()), path.c_str(), ds,
                                    FALSE, options, nullptr, nullptr);
  CSLDestroy(options);
  GDALClose(ds);
  if (out == nullptr) throw std::runtime_error("cannot create " + path);
  if (s.overviews) {
    int levels[] = {2, 4, 8};
    if (GDALBuildOverviews(out, "AVERAGE", 3, levels, 0, nullptr, nullptr, nullptr) != CE_None)
      throw std::runtime_error("cannot build overviews of " + path);
  }
  GDALClose(out);
  return path;
}

std::string EmptyVrt(const std::string &name, long width, int height) {
  std::string path = TempDir() + "/" + name;
  std::ofstream out(path);
  out << "<VRTDataset rasterXSize=\"" << width << "\" rasterYSize=\"" << height << "\">\n";
  for (int b = 1; b <= 3; ++b) out << "  <VRTRasterBand dataType=\"Byte\" band=\"" << b << "\"/>\n";
  out << "</VRTDataset>\n";
  return path;
}

std::vector<uint8_t> Oracle(const std::string &path, const std::vector<uint32_t> &bandList,
                            int left, int top, int right, int bottom, int w, int h) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) throw std::runtime_error("oracle cannot open " + path);
  int sw = right - left + 1, sh = bottom - top + 1;
  GDALRasterBandH first = GDALGetRasterBand(ds, 1);
  GDALColorTableH palette = GDALGetRasterCount(ds) == 1 ? GDALGetRasterColorTable(first) : nullptr;
  std::vector<int> bands;
  size_t used = bandList.size() >= 3 ? 3 : 1;
  if (palette) {
    bands = {1};
  } else {
    for (size_t i = 0; i < used; ++i) bands.push_back((int)bandList[i] + 1);
  }
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  if (w != sw || h != sh) {
    extra.eResampleAlg = palette || Sampled(first, left, top, sw, sh, w, h)
                             ? GRIORA_NearestNeighbour
                             : GRIORA_Average;
    // The window is stated exactly: without it GDAL rounds a window it reads
    // from an overview to that overview's pixels, and the read drifts.
    extra.bFloatingPointWindowValidity = TRUE;
    extra.dfXOff = left;
    extra.dfYOff = top;
    extra.dfXSize = sw;
    extra.dfYSize = sh;
  }
  // Eight- and sixteen-bit data is read in its own type, as GDAL rounds its
  // averages into it; wider data as doubles.
  GDALDataType own = GDALGetRasterDataType(first);
  bool wide = own != GDT_Byte && !palette;
  GDALDataType type = palette ? GDT_Float64
                      : (own == GDT_Byte || own == GDT_UInt16 || own == GDT_Int16) ? own
                                                                                   : GDT_Float64;
  int size = GDALGetDataTypeSizeBytes(type);
  GSpacing pixel = (GSpacing)size * (GSpacing)bands.size();
  std::vector<uint8_t> raw((size_t)w * h * pixel);
  if (GDALDatasetRasterIOEx(ds, GF_Read, left, top, sw, sh, raw.data(), w, h, type,
                            (int)bands.size(), bands.data(), pixel, pixel * w, size,
                            &extra) != CE_None)
    throw std::runtime_error("oracle cannot read " + path);
  std::vector<double> data((size_t)w * h * bands.size());
  GDALCopyWords64(raw.data(), type, size, data.data(), GDT_Float64, 8, (GPtrDiff_t)data.size());
  std::vector<double> lo(bands.size()), hi(bands.size());
  for (size_t i = 0; wide && i < bands.size(); ++i) {
    std::array<double, 2> cut = CumulativeCut(GDALGetRasterBand(ds, bands[i]));
    lo[i] = cut[0];
    hi[i] = cut[1];
  }
  std::vector<uint8_t> rgb((size_t)w * h * 3);
  for (size_t p = 0; p < (size_t)w * h; ++p) {
    for (int k = 0; k < 3; ++k) {
      size_t i = bands.size() == 1 ? 0 : k;
      double v = data[p * bands.size() + i];
      uint8_t out;
      if (palette) {
        const GDALColorEntry *e = GDALGetColorEntry(palette, (int)v);
        int channel = bandList.size() >= 3 ? (int)bandList[k] : (int)bandList[0];
        out = (uint8_t)(channel == 0 ? e->c1 : channel == 1 ? e->c2 : e->c3);
      } else if (wide) {
        double scaled = hi[i] > lo[i] ? floor((v - lo[i]) * (255.0 / (hi[i] - lo[i])) + 0.5) : 0;
        out = std::isnan(scaled) ? 0 : (uint8_t)std::min(255.0, std::max(0.0, scaled));
      } else {
        out = (uint8_t)v;
      }
      rgb[p * 3 + k] = out;
    }
  }
  GDALClose(ds);
  return rgb;
}

std::array<double, 2> CumulativeCut(GDALRasterBandH band) {
  int w = GDALGetRasterBandXSize(band), h = GDALGetRasterBandYSize(band);
  std::vector<double> all((size_t)w * h);
  if (GDALRasterIO(band, GF_Read, 0, 0, w, h, all.data(), w, h, GDT_Float64, 0, 0) != CE_None)
    throw std::runtime_error("cannot read a band for its percentiles");
  std::vector<double> finite;
  for (double v : all)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return {0, 0};
  std::sort(finite.begin(), finite.end());
  size_t last = finite.size() - 1;
  double low = finite[last * 2 / 100], high = finite[(last * 98 + 99) / 100];
  if (low == high) return {finite.front(), finite.back()};
  return {low, high};
}

int MaxDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, abs((int)a[i] - (int)b[i]));
  return worst;
}

}  // namespace fixtures
