// Test images made with GDAL, and GDAL itself as the oracle for what a view
// of them must deliver.
#ifndef RHL_FIXTURES_H
#define RHL_FIXTURES_H

#include <stdint.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "gdal.h"

namespace fixtures {

using GeoTransform = std::array<double, 6>;
constexpr GeoTransform kGeo = {500000.0, 2.5, 0.0, 4200000.0, 0.0, -2.5};

// A fresh scratch folder under /tmp, removed at exit.
std::string TempDir();
// A link file `name` in the scratch folder naming `target`; its path.
std::string Link(const std::string &name, const std::string &target);

struct Fixture {
  int width = 64, height = 48, bands = 3;
  GDALDataType type = GDT_Byte;
  bool paletted = false;
  bool georeferenced = true;
  GeoTransform geo = kGeo;
  std::string srs;  // the CRS as GDAL's -a_srs takes it ("EPSG:32633"); none when empty
  bool overviews = false;
  std::string driver = "GTiff";  // or "JP2OpenJPEG"
  // Where set, the value of pixel (x, y) of band b (from 0) instead of the
  // pattern's, which it is given.
  std::function<double(int x, int y, int b, double pattern)> value;
};
// Writes an image whose pixels follow a fixed pattern; returns its path.
std::string Make(const std::string &name, const Fixture &fixture);

// A VRT of `width` x `height` three-band 8-bit pixels with no source, all 0
// (an image of any size that costs nothing); returns its path.
std::string EmptyVrt(const std::string &name, long width, int height);

// Whether a view of `sw` x `sh` pixels at (left, top) of `band` at `w` x `h`
// samples (nearest) rather than averages: where one output pixel covers
// more than 8 x 8 pixels of the level GDAL would average from.
bool Sampled(GDALRasterBandH band, int left, int top, int sw, int sh, int w, int h);

// What a view of `region` (left, top, right, bottom inclusive) at the window
// size must deliver, from one RasterIO of the whole window: 3 bytes a pixel,
// averaged where it reduces (nearest where Sampled). Data wider than 8 bits
// is stretched per band between the 2nd and 98th percentiles of all its
// finite values.
std::vector<uint8_t> Oracle(const std::string &path, const std::vector<uint32_t> &bands,
                            int left, int top, int right, int bottom, int windowWidth,
                            int windowHeight);

// The 2nd and 98th percentiles of a band's finite values, by sorting them
// all (or the least and greatest where they are equal); {0, 0} with none.
std::array<double, 2> CumulativeCut(GDALRasterBandH band);

// The largest difference between two equally long byte runs.
int MaxDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

}  // namespace fixtures

#endif
