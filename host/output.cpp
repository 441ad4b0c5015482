#include "output.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "cpl_error.h"
#include "cpl_string.h"
#include "gdal_priv.h"

namespace rhl {
namespace {

constexpr int kTileSize = 256;  // GeoTIFF output tiles are square

// A read-only dataset whose lines come straight from the module: block row y
// is HandlerReadLine(y). Its three bands read the same line index in turn,
// which the module answers from its buffer without a second read.
class ViewDataset : public GDALDataset {
 public:
  ViewDataset(Session &session, int width, int height, const std::array<double, 6> &geo);
  CPLErr GetGeoTransform(double *gt) override {
    std::copy(geo_.begin(), geo_.end(), gt);
    return CE_None;
  }
  Session &session() { return session_; }

 private:
  Session &session_;
  std::array<double, 6> geo_;
};

class ViewBand : public GDALRasterBand {
 public:
  ViewBand(ViewDataset *dataset, int channel) : channel_(channel) {
    poDS = dataset;
    nBand = channel + 1;
    eDataType = GDT_Byte;
    nBlockXSize = dataset->GetRasterXSize();
    nBlockYSize = 1;
  }
  GDALColorInterp GetColorInterpretation() override {
    return channel_ == 0 ? GCI_RedBand : channel_ == 1 ? GCI_GreenBand : GCI_BlueBand;
  }

 protected:
  CPLErr IReadBlock(int, int row, void *image) override {
    const uint8_t *line = static_cast<ViewDataset *>(poDS)->session().ReadLine(row);
    if (line == nullptr) {
      CPLError(CE_Failure, CPLE_AppDefined, "the module did not deliver line %d", row);
      return CE_Failure;
    }
    uint8_t *out = static_cast<uint8_t *>(image);
    for (size_t x = 0; x < (size_t)nBlockXSize; ++x) out[x] = line[3 * x + (size_t)channel_];
    return CE_None;
  }

 private:
  int channel_;
};

ViewDataset::ViewDataset(Session &session, int width, int height,
                         const std::array<double, 6> &geo)
    : session_(session), geo_(geo) {
  nRasterXSize = width;
  nRasterYSize = height;
  for (int k = 0; k < 3; ++k) SetBand(k + 1, new ViewBand(this, k));
}

bool EndsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && EQUAL(s.c_str() + s.size() - n, suffix);
}

// The ESRI world file: pixel sizes and rotation, then the centre of the
// top-left pixel.
bool WriteWorldFile(const std::string &imagePath, const std::array<double, 6> &gt,
                    std::string *error) {
  std::string path = CPLResetExtension(imagePath.c_str(), "pgw");
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    *error = "cannot write " + path;
    return false;
  }
  fprintf(f, "%.15g\n%.15g\n%.15g\n%.15g\n%.15g\n%.15g\n", gt[1], gt[4], gt[2], gt[5],
          gt[0] + 0.5 * gt[1] + 0.5 * gt[2], gt[3] + 0.5 * gt[4] + 0.5 * gt[5]);
  bool ok = fclose(f) == 0;
  if (!ok) *error = "cannot write " + path;
  return ok;
}

bool CloseChecked(GDALDatasetH out) {
  GDALFlushCache(out);
  bool ok = CPLGetLastErrorType() < CE_Failure;
  GDALClose(out);
  return ok;
}

// A buffer of `lines` output lines of `width` RGB pixels, or none when that
// does not fit in memory (with the reason in *error).
std::unique_ptr<uint8_t[]> LineBuffer(int width, int lines, std::string *error) {
  size_t bytes = (size_t)width * 3 * (size_t)lines;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bytes]);
  if (buffer == nullptr)
    *error = std::to_string(lines) + " output lines of " + std::to_string(width) +
             " pixels do not fit in memory";
  return buffer;
}

// GeoTIFF is written in the order the module delivers lines, a tile row at a
// time: each row is handed to GDAL as soon as it is complete and compressed
// on GDAL's threads while the module delivers the next.
bool WriteGeoTiff(Session &session, int width, int height, const std::array<double, 6> &geo,
                  GDALDriverH driver, const std::string &path, GDALProgressFunc report,
                  std::string *error) {
  // Lines are gathered into bands of whole tile rows, so that each tile is
  // compressed once, straight from complete data.
  const int chunkLines = std::min(height, kTileSize);
  std::unique_ptr<uint8_t[]> chunk = LineBuffer(width, chunkLines, error);
  if (chunk == nullptr) return false;
  char **options = nullptr;
  options = CSLSetNameValue(options, "TILED", "YES");
  const std::string tile = std::to_string(kTileSize);
  options = CSLSetNameValue(options, "BLOCKXSIZE", tile.c_str());
  options = CSLSetNameValue(options, "BLOCKYSIZE", tile.c_str());
  options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
  options = CSLSetNameValue(options, "PHOTOMETRIC", "RGB");
  options = CSLSetNameValue(options, "BIGTIFF", "IF_SAFER");
  options = CSLSetNameValue(options, "NUM_THREADS", "ALL_CPUS");
  GDALDatasetH out = GDALCreate(driver, path.c_str(), width, height, 3, GDT_Byte, options);
  CSLDestroy(options);
  if (out == nullptr) return false;
  std::array<double, 6> gt = geo;
  GDALSetGeoTransform(out, gt.data());
  const size_t lineBytes = (size_t)width * 3;
  bool ok = true;
  for (int y0 = 0; ok && y0 < height; y0 += chunkLines) {
    int lines = std::min(chunkLines, height - y0);
    for (int i = 0; ok && i < lines; ++i) {
      const uint8_t *line = session.ReadLine(y0 + i);
      if (line == nullptr) {
        CPLError(CE_Failure, CPLE_AppDefined, "the module did not deliver line %d", y0 + i);
        ok = false;
      } else {
        memcpy(&chunk[(size_t)i * lineBytes], line, lineBytes);
      }
    }
    if (ok)
      ok = GDALDatasetRasterIO(out, GF_Write, 0, y0, width, lines, chunk.get(), width, lines,
                               GDT_Byte, 3, nullptr, 3, (GSpacing)lineBytes, 1) == CE_None;
    // The finished tile row leaves GDAL's cache for its compression threads
    // (the bands share their tiles: flushing the first writes all three).
    for (int b = 1; ok && b <= 3; ++b)
      ok = GDALFlushRasterCache(GDALGetRasterBand(out, b)) == CE_None;
    if (ok && !report((double)(y0 + lines) / height, nullptr, nullptr)) {
      CPLError(CE_Failure, CPLE_UserInterrupt, "interrupted");
      ok = false;
    }
  }
  return CloseChecked(out) && ok;
}

}  // namespace

bool WriteView(Session &session, int width, int height, const std::array<double, 6> &geo,
               const std::string &path, bool progress, std::string *error) {
  GDALAllRegister();
  // The georeferencing goes into the GeoTIFF or the world file, not a
  // side-car .aux.xml.
  CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
  bool tiff = EndsWith(path, ".tif") || EndsWith(path, ".tiff");
  GDALDriverH driver = GDALGetDriverByName(tiff ? "GTiff" : "PNG");
  if (driver == nullptr) {
    *error = std::string("GDAL lacks the ") + (tiff ? "GTiff" : "PNG") + " driver";
    return false;
  }
  CPLErrorReset();
  error->clear();
  GDALProgressFunc report = progress ? GDALTermProgress : GDALDummyProgress;
  bool ok;
  if (tiff) {
    ok = WriteGeoTiff(session, width, height, geo, driver, path, report, error);
    if (!ok && !error->empty()) return false;
  } else {
    // The PNG writer asks for the lines in order, each line's bands in turn.
    ViewDataset source(session, width, height, geo);
    GDALDatasetH out = GDALCreateCopy(driver, path.c_str(), GDALDataset::ToHandle(&source),
                                      FALSE, nullptr, report, nullptr);
    ok = out != nullptr && CloseChecked(out);
  }
  if (!ok) {
    *error = CPLGetLastErrorMsg()[0] ? CPLGetLastErrorMsg() : ("cannot write " + path).c_str();
    return false;
  }
  return tiff || WriteWorldFile(path, geo, error);
}

}  // namespace rhl
