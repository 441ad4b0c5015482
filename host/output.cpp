#include "output.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "aside.h"
#include "cli.h"
#include "cpl_error.h"
#include "cpl_string.h"
#include "gdal_priv.h"
#include "ogr_spatialref.h"

namespace rhl {
namespace {

constexpr int kTileSize = 256;  // GeoTIFF output tiles are square

// Why a write stopped, when the module or the order of lines was the cause
// (GDAL's own failures are in its last error).
struct LineTrouble {
  std::string what;
};

void LoadCrs(const std::string &wkt, OGRSpatialReference *srs) {
  srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (!wkt.empty()) srs->importFromWkt(wkt.c_str());
}

// A read-only dataset whose lines come straight from the module: block row y
// is HandlerReadLine(y). Its three bands read the same line index in turn,
// which the module answers from its buffer without a second read. The module
// delivers each line once, top to bottom: a writer that asks for an earlier
// line is stopped rather than given the wrong one.
class ViewDataset : public GDALDataset {
 public:
  ViewDataset(Session &session, int width, int height, const OutputOptions &output);
  CPLErr GetGeoTransform(double *gt) override {
    if (!geo_) return CE_Failure;
    std::copy(geo_->begin(), geo_->end(), gt);
    return CE_None;
  }
  const OGRSpatialReference *GetSpatialRef() const override {
    return srs_.IsEmpty() ? nullptr : &srs_;
  }
  // The line's RGB pixels, or null with the reason kept.
  const uint8_t *Line(int row) {
    if (row != current_ && row != current_ + 1) {
      trouble_.what = "the " + std::string(GetDescription()) + " writer asked for line " +
                      std::to_string(row) + " after line " + std::to_string(current_) +
                      ", and the module delivers each line once, in order";
      return nullptr;
    }
    const uint8_t *line = session_.ReadLine(row);
    if (line == nullptr) {
      trouble_.what = "the module did not deliver line " + std::to_string(row) + " of " +
                      std::to_string(nRasterYSize);
      return nullptr;
    }
    current_ = row;
    return line;
  }
  const LineTrouble &trouble() const { return trouble_; }

 private:
  Session &session_;
  std::optional<std::array<double, 6>> geo_;
  OGRSpatialReference srs_;
  int current_ = -1;
  LineTrouble trouble_;
};

class ViewBand : public GDALRasterBand {
 public:
  ViewBand(ViewDataset *dataset, int channel, std::optional<int> nodata)
      : channel_(channel), nodata_(nodata) {
    poDS = dataset;
    nBand = channel + 1;
    eDataType = GDT_Byte;
    nBlockXSize = dataset->GetRasterXSize();
    nBlockYSize = 1;
  }
  GDALColorInterp GetColorInterpretation() override {
    return channel_ == 0 ? GCI_RedBand : channel_ == 1 ? GCI_GreenBand : GCI_BlueBand;
  }
  double GetNoDataValue(int *success) override {
    if (success != nullptr) *success = nodata_.has_value();
    return nodata_.value_or(0);
  }

 protected:
  CPLErr IReadBlock(int, int row, void *image) override {
    const uint8_t *line = static_cast<ViewDataset *>(poDS)->Line(row);
    if (line == nullptr) {
      CPLError(CE_Failure, CPLE_AppDefined, "line %d not delivered", row);
      return CE_Failure;
    }
    uint8_t *out = static_cast<uint8_t *>(image);
    for (size_t x = 0; x < (size_t)nBlockXSize; ++x) out[x] = line[3 * x + (size_t)channel_];
    return CE_None;
  }

 private:
  int channel_;
  std::optional<int> nodata_;
};

ViewDataset::ViewDataset(Session &session, int width, int height, const OutputOptions &output)
    : session_(session), geo_(output.geo) {
  SetDescription(output.format.name.c_str());
  // Whole-image reads then go line by line over all bands, not band after
  // band (which would ask the module for every line three times).
  SetMetadataItem("INTERLEAVE", "PIXEL", "IMAGE_STRUCTURE");
  LoadCrs(output.crsWkt, &srs_);
  nRasterXSize = width;
  nRasterYSize = height;
  for (int k = 0; k < 3; ++k) SetBand(k + 1, new ViewBand(this, k, output.nodata));
}

// The ESRI world file: pixel sizes and rotation, then the centre of the
// top-left pixel, each in the fewest digits that read back exactly.
bool WriteWorldFile(const std::string &path, const std::array<double, 6> &gt,
                    std::string *error) {
  FILE *f = fopen(path.c_str(), "w");
  bool ok = f != nullptr;
  for (double v : {gt[1], gt[4], gt[2], gt[5], gt[0] + 0.5 * gt[1] + 0.5 * gt[2],
                   gt[3] + 0.5 * gt[4] + 0.5 * gt[5]})
    ok = ok && fprintf(f, "%s\n", ShortNumber(v).c_str()) > 0;
  if (f != nullptr) ok = fclose(f) == 0 && ok;
  if (!ok) *error = "cannot write " + path;
  return ok;
}

bool CloseChecked(GDALDatasetH out) {
  GDALFlushCache(out);
  bool ok = CPLGetLastErrorType() < CE_Failure;
  GDALClose(out);
  return ok && CPLGetLastErrorType() < CE_Failure;
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

// The user's creation options over rhl's GeoTIFF defaults (tiled 256 x 256,
// DEFLATE, compressed on every core); a striped GeoTIFF drops the tile size.
char **CreationOptions(const OutputOptions &output) {
  char **user = nullptr;
  for (const std::string &o : output.creationOptions) user = CSLAddString(user, o.c_str());
  if (output.format.name != "GTiff") return user;
  char **options = nullptr;
  const std::string tile = std::to_string(kTileSize);
  options = CSLSetNameValue(options, "TILED", "YES");
  options = CSLSetNameValue(options, "BLOCKXSIZE", tile.c_str());
  options = CSLSetNameValue(options, "BLOCKYSIZE", tile.c_str());
  options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
  options = CSLSetNameValue(options, "PHOTOMETRIC", "RGB");
  options = CSLSetNameValue(options, "BIGTIFF", "IF_SAFER");
  options = CSLSetNameValue(options, "NUM_THREADS", "ALL_CPUS");
  if (!CPLTestBool(CSLFetchNameValueDef(user, "TILED", "YES"))) {
    options = CSLSetNameValue(options, "BLOCKXSIZE", nullptr);
    options = CSLSetNameValue(options, "BLOCKYSIZE", nullptr);
  }
  for (char **p = user; p != nullptr && *p != nullptr; ++p) {
    char *name = nullptr;
    const char *value = CPLParseNameValue(*p, &name);
    if (name != nullptr) options = CSLSetNameValue(options, name, value);
    CPLFree(name);
  }
  CSLDestroy(user);
  return options;
}

// A format that writes line by line gets the lines in the order the module
// delivers them, gathered into rows of its blocks: each block is written
// once, straight from complete data. A GeoTIFF's finished tile rows leave
// GDAL's cache for its compression threads while the module delivers the
// next.
bool WriteRows(ViewDataset &view, const OutputOptions &output, const std::string &path,
               GDALProgressFunc report, std::string *error) {
  const int width = view.GetRasterXSize(), height = view.GetRasterYSize();
  char **options = CreationOptions(output);
  GDALDatasetH out =
      GDALCreate(output.format.driver, path.c_str(), width, height, 3, GDT_Byte, options);
  CSLDestroy(options);
  if (out == nullptr) return false;
  double gt[6];
  if (view.GetGeoTransform(gt) == CE_None) GDALSetGeoTransform(out, gt);
  if (view.GetSpatialRef() != nullptr)
    GDALSetSpatialRef(out, OGRSpatialReference::ToHandle(
                               const_cast<OGRSpatialReference *>(view.GetSpatialRef())));
  int blockWidth = 0, blockHeight = 1;
  GDALGetBlockSize(GDALGetRasterBand(out, 1), &blockWidth, &blockHeight);
  blockHeight = std::max(1, blockHeight);
  for (int b = 1; b <= 3; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(out, b);
    if (output.nodata) GDALSetRasterNoDataValue(band, *output.nodata);
    GDALSetRasterColorInterpretation(band, (GDALColorInterp)(GCI_RedBand + b - 1));
  }
  const int chunkLines =
      std::min(height, blockHeight * ((kTileSize + blockHeight - 1) / blockHeight));
  std::unique_ptr<uint8_t[]> chunk = LineBuffer(width, chunkLines, error);
  bool ok = chunk != nullptr;
  const size_t lineBytes = (size_t)width * 3;
  for (int y0 = 0; ok && y0 < height; y0 += chunkLines) {
    int lines = std::min(chunkLines, height - y0);
    for (int i = 0; ok && i < lines; ++i) {
      const uint8_t *line = view.Line(y0 + i);
      if (line != nullptr) memcpy(&chunk[(size_t)i * lineBytes], line, lineBytes);
      ok = line != nullptr;
    }
    if (ok)
      ok = GDALDatasetRasterIO(out, GF_Write, 0, y0, width, lines, chunk.get(), width, lines,
                               GDT_Byte, 3, nullptr, 3, (GSpacing)lineBytes, 1) == CE_None;
    // The bands share their blocks: flushing the first writes all three.
    for (int b = 1; ok && b <= 3; ++b)
      ok = GDALFlushRasterCache(GDALGetRasterBand(out, b)) == CE_None;
    if (ok && !report((double)(y0 + lines) / height, nullptr, nullptr)) {
      CPLError(CE_Failure, CPLE_UserInterrupt, "interrupted");
      ok = false;
    }
  }
  return CloseChecked(out) && ok;
}

// A format written only as a copy reads the view through GDAL.
bool WriteCopy(ViewDataset &view, const OutputOptions &output, const std::string &path,
               GDALProgressFunc report) {
  char **options = CreationOptions(output);
  GDALDatasetH out = GDALCreateCopy(output.format.driver, path.c_str(),
                                    GDALDataset::ToHandle(&view), FALSE, options, report, nullptr);
  CSLDestroy(options);
  return out != nullptr && CloseChecked(out);
}

}  // namespace

bool WriteView(Session &session, int width, int height, const OutputOptions &output,
               std::string *error) {
  GDALAllRegister();
  error->clear();
  AsideOutput aside(output.path);
  if (!aside.ok()) {
    *error = aside.error();
    return false;
  }
  CPLErrorReset();
  GDALProgressFunc report = output.progress ? GDALTermProgress : GDALDummyProgress;
  ViewDataset view(session, width, height, output);
  bool ok = output.format.create ? WriteRows(view, output, aside.path(), report, error)
                               : WriteCopy(view, output, aside.path(), report);
  if (!ok) {
    if (!view.trouble().what.empty())
      *error = view.trouble().what;
    else if (error->empty())
      *error = CPLGetLastErrorMsg()[0] ? CPLGetLastErrorMsg() : "cannot write " + output.path;
    // GDAL names the file it was writing: the output's own name is meant.
    for (size_t at; (at = error->find(aside.path())) != std::string::npos;)
      error->replace(at, aside.path().size(), output.path);
    *error += "; nothing was written to " + output.path;
    return false;
  }
  if (output.format.worldFile && output.geo &&
      !WriteWorldFile(aside.Companion(WorldFileName(output.path)), *output.geo, error))
    return false;
  return aside.Commit(error);
}

}  // namespace rhl
