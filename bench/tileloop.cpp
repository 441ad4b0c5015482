// tileloop: a host's tile loop through a handler module, timed against
// GDAL's own RasterIO on one dataset opened once, for the same windows.
//
// Per image it times 256 x 256 views of 1024 x 1024 source windows (scale
// 0.25) and of 256 x 256 windows (1:1), on the image's tile grid and
// straddling it, with their blocks in GDAL's cache (a part of the map seen
// before) and decoded afresh (a part not seen before): passes over a grid of
// neighbouring windows, each window viewed through the module and read by
// GDAL in turn; the medians of --runs passes, and of the passes' ratios. Then --opens other records are
// opened on --other and the module's passes are timed again. Eight-bit views
// are checked byte for byte against GDAL's. Prints one line per figure,
// fields split by "|", for bench/run to tabulate.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "gdal.h"
#include "loader.h"

namespace {

constexpr int kTile = 256;
constexpr int kGridX = 8, kGridY = 4;  // views per pass: a screen's worth and more

// Wall time, or with --clock cpu the process's processor time (steadier on a
// machine others load).
clockid_t gClock = CLOCK_MONOTONIC;

double Now() {
  timespec t;
  clock_gettime(gClock, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Case {
  const char *name;
  int sourceSize;      // source window side; the view is 256 x 256
  int offsetX, offsetY;  // from the tile grid
  bool decoded;        // GDAL's block cache emptied before each view
};
const Case kCases[] = {
    {"1/4, aligned, cached", 4 * kTile, 0, 0, false},
    {"1/4, straddling, cached", 4 * kTile, 517, 389, false},
    {"1:1, aligned, cached", kTile, 0, 0, false},
    {"1:1, straddling, cached", kTile, 131, 77, false},
    {"1/4, aligned, decoded", 4 * kTile, 0, 0, true},
    {"1/4, straddling, decoded", 4 * kTile, 517, 389, true},
    {"1:1, aligned, decoded", kTile, 0, 0, true},
    {"1:1, straddling, decoded", kTile, 131, 77, true},
};

// Empties GDAL's block cache (for every dataset in the process), so that the
// next read decodes its blocks again, as for a part of the image not seen
// before.
void EmptyBlockCache() {
  GIntBig size = GDALGetCacheMax64();
  GDALSetCacheMax64(0);
  GDALSetCacheMax64(size);
}

// The source windows of one pass: a grid of neighbours near the image's
// centre, as a user panning over it asks for them.
std::vector<RhlRect> Windows(const Case &c, int width, int height) {
  std::vector<RhlRect> out;
  int x0 = (width / 2 - kGridX * c.sourceSize / 2) / c.sourceSize * c.sourceSize + c.offsetX;
  int y0 = (height / 2 - kGridY * c.sourceSize / 2) / c.sourceSize * c.sourceSize + c.offsetY;
  for (int j = 0; j < kGridY; ++j)
    for (int i = 0; i < kGridX; ++i) {
      int l = std::max(0, x0 + i * c.sourceSize), t = std::max(0, y0 + j * c.sourceSize);
      if (l + c.sourceSize <= width && t + c.sourceSize <= height)
        out.push_back({l, t, l + c.sourceSize, t + c.sourceSize});
    }
  return out;
}

struct Host {
  rhl::HandlerModule module;
  // The host owns its records: zero-filled, with room beyond the handler's part.
  static Raster *NewRecord() { return static_cast<Raster *>(calloc(1, 1024)); }

  // One view, every line copied into `tile`; false on any failure.
  bool View(Raster *r, const RhlRect &source, std::vector<uint8_t> &tile) {
    RhlRect destination{0, 0, kTile, kTile};
    double scale = (double)kTile / (source.right - source.left);
    int32_t width = 0;
    if (!module.BeginView()(r, &destination, &source, scale, &width) || width != kTile) return false;
    bool ok = true;
    for (int y = 0; ok && y < kTile; ++y) {
      uint8_t *line = nullptr;
      uint16_t flag = 0;
      ok = module.ReadLine()(r, y, &line, &flag) == 1;
      if (ok) memcpy(&tile[(size_t)y * kTile * 3], line, (size_t)kTile * 3);
    }
    module.EndView()(r);
    return ok;
  }
};

// GDAL's own read of the same window from one open dataset: all bands at
// once, averaging when it reduces, in the band's own type.
bool GdalView(GDALDatasetH ds, const RhlRect &s, std::vector<uint8_t> &buffer) {
  int bands = std::min(3, GDALGetRasterCount(ds));
  GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(ds, 1));
  int size = GDALGetDataTypeSizeBytes(type);
  buffer.resize((size_t)kTile * kTile * bands * size);
  int w = s.right - s.left, h = s.bottom - s.top;
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  if (w != kTile) {
    extra.eResampleAlg = GRIORA_Average;
    extra.bFloatingPointWindowValidity = TRUE;
    extra.dfXOff = s.left;
    extra.dfYOff = s.top;
    extra.dfXSize = w;
    extra.dfYSize = h;
  }
  int list[3] = {1, 2, 3};
  return GDALDatasetRasterIOEx(ds, GF_Read, s.left, s.top, w, h, buffer.data(), kTile, kTile, type,
                               bands, list, (GSpacing)bands * size, (GSpacing)bands * size * kTile,
                               size, &extra) == CE_None;
}

std::string Resolve(const std::string &name) {
  if (name.size() < 4 || strcasecmp(name.c_str() + name.size() - 4, ".url") != 0) return name;
  std::ifstream in(name);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && isspace((unsigned char)line.back())) line.pop_back();
  return line;
}

struct Timings {
  std::vector<double> module, gdal, moduleAfter;
  std::vector<double> ratio;  // module / GDAL within each pass
};

int Usage() {
  fprintf(stderr,
          "usage: tileloop --module PATH [--runs N] [--opens N --other FILE] [--only CASE]\n"
          "                [--clock wall|cpu] IMAGE...\n"
          "  IMAGE: a .url or .ecw name the module serves; GDAL reads what it names.\n"
          "  Prints Markdown rows: image, case, module ms, GDAL ms, ratio, and with\n"
          "  --opens the module's ms after that many opens and its ratio to the first.\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string modulePath, other, only;
  int runs = 7, opens = 0;
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--module" && more) modulePath = argv[++i];
    else if (a == "--runs" && more) runs = atoi(argv[++i]);
    else if (a == "--opens" && more) opens = atoi(argv[++i]);
    else if (a == "--other" && more) other = argv[++i];
    else if (a == "--only" && more) only = argv[++i];
    else if (a == "--clock" && more) gClock = strcmp(argv[++i], "cpu") == 0 ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC;
    else if (a == "-h" || a == "--help") return Usage(), 0;
    else if (a[0] == '-') return Usage();
    else images.push_back(a);
  }
  if (modulePath.empty() || images.empty() || runs < 1 || (opens > 0 && other.empty()))
    return Usage();

  Host host;
  std::string error;
  if (!host.module.Load(modulePath, &error)) {
    fprintf(stderr, "tileloop: %s\n", error.c_str());
    return 1;
  }
  GDALAllRegister();
  std::vector<uint8_t> tile((size_t)kTile * kTile * 3), gdalTile;
  std::vector<Raster *> records;
  for (const std::string &image : images) {
    Raster *r = Host::NewRecord();
    records.push_back(r);
    double t0 = Now();
    if (host.module.Open()(r, image.c_str(), 0) != 1) {
      fprintf(stderr, "tileloop: the module cannot open %s\n", image.c_str());
      return 1;
    }
    double t1 = Now();
    RhlRect first = Windows(kCases[0], r->width, r->height).front();
    if (!host.View(r, first, tile)) return 1;
    double t2 = Now();
    printf("FIRST|%s|%.1f|%.1f\n", image.c_str(), (t1 - t0) * 1e3, (t2 - t1) * 1e3);
  }

  std::vector<std::vector<Timings>> timings(images.size(), std::vector<Timings>(std::size(kCases)));
  auto moduleView = [&](Raster *r, const RhlRect &w) {
    if (!host.View(r, w, tile)) {
      fprintf(stderr, "tileloop: a view failed\n");
      exit(1);
    }
  };
  auto measure = [&](bool after) {
    for (size_t i = 0; i < images.size(); ++i) {
      GDALDatasetH ds = GDALOpen(Resolve(images[i]).c_str(), GA_ReadOnly);
      if (ds == nullptr) {
        fprintf(stderr, "tileloop: GDAL cannot open what %s names\n", images[i].c_str());
        exit(1);
      }
      bool eightBit = GDALGetRasterDataType(GDALGetRasterBand(ds, 1)) == GDT_Byte &&
                      GDALGetRasterCount(ds) >= 3;
      for (size_t c = 0; c < std::size(kCases); ++c) {
        if (strstr(kCases[c].name, only.c_str()) == nullptr) continue;
        std::vector<RhlRect> windows = Windows(kCases[c], records[i]->width, records[i]->height);
        Timings &t = timings[i][c];
        // One pass of each to warm the caches; then passes in which each
        // window is viewed through the module and read by GDAL in turn, the
        // order alternating, so that both meet the same machine.
        for (const RhlRect &w : windows) {
          moduleView(records[i], w);
          GdalView(ds, w, gdalTile);
        }
        size_t mismatches = 0;
        for (int run = 0; run < runs; ++run) {
          double m = 0, g = 0;
          for (size_t k = 0; k < windows.size(); ++k) {
            bool gdalFirst = (k + run) % 2 == 1;
            for (int turn = 0; turn < 2; ++turn) {
              bool gdal = (turn == 0) == gdalFirst;
              if (kCases[c].decoded) EmptyBlockCache();
              double t0 = Now();
              if (gdal) GdalView(ds, windows[k], gdalTile);
              else moduleView(records[i], windows[k]);
              (gdal ? g : m) += Now() - t0;
            }
          }
          (after ? t.moduleAfter : t.module).push_back(m * 1e3 / windows.size());
          if (!after) {
            t.gdal.push_back(g * 1e3 / windows.size());
            t.ratio.push_back(m / g);
          }
        }
        if (eightBit && !after) {
          for (const RhlRect &w : windows) {
            host.View(records[i], w, tile);
            GdalView(ds, w, gdalTile);
            mismatches += memcmp(tile.data(), gdalTile.data(), tile.size()) != 0;
          }
          if (mismatches) printf("MISMATCH|%s|%s|%zu\n", images[i].c_str(), kCases[c].name, mismatches);
        }
      }
      GDALClose(ds);
    }
  };
  measure(false);
  if (opens > 0) {
    double t0 = Now();
    for (int k = 0; k < opens; ++k) {
      Raster *r = Host::NewRecord();
      if (host.module.Open()(r, other.c_str(), 0) != 1) {
        fprintf(stderr, "tileloop: open %d of %s failed\n", k, other.c_str());
        return 1;
      }
      records.push_back(r);
    }
    printf("OPENS|%d|%.1f\n", opens, (Now() - t0) * 1e3);
    measure(true);
  }
  for (size_t i = 0; i < images.size(); ++i)
    for (size_t c = 0; c < std::size(kCases); ++c) {
      if (strstr(kCases[c].name, only.c_str()) == nullptr) continue;
      const Timings &t = timings[i][c];
      double m = Median(t.module), g = Median(t.gdal);
      printf("CASE|%s|%s|%.3f|%.3f|%.2f", images[i].c_str(), kCases[c].name, m, g,
             Median(t.ratio));
      if (opens > 0) {
        double a = Median(t.moduleAfter);
        printf("|%.3f|%.2f", a, a / m);
      }
      printf("\n");
    }
  // The host's records stay open for the process's life, as a host's do.
  return 0;
}
