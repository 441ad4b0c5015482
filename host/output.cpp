#include "output.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "aside.h"
#include "cli.h"
#include "picture.h"
#include "cpl_error.h"
#include "cpl_string.h"
#include "gdal_priv.h"
#include "ogr_spatialref.h"

namespace rhl {
namespace {

constexpr int kTileSize = 256;  // GeoTIFF output tiles are square

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
bool WriteRows(Picture &picture, GDALDriverH driver, char **options, const std::string &path,
               GDALProgressFunc report, void *reportData, std::string *error) {
  const int width = picture.GetRasterXSize(), height = picture.GetRasterYSize();
  GDALDatasetH out = GDALCreate(driver, path.c_str(), width, height, 3, GDT_Byte, options);
  if (out == nullptr) return false;
  double gt[6];
  if (picture.GetGeoTransform(gt) == CE_None) GDALSetGeoTransform(out, gt);
  if (picture.GetSpatialRef() != nullptr)
    GDALSetSpatialRef(out, OGRSpatialReference::ToHandle(
                               const_cast<OGRSpatialReference *>(picture.GetSpatialRef())));
  if (picture.GetGCPCount() > 0)
    GDALSetGCPs2(out, picture.GetGCPCount(), picture.GetGCPs(),
                 OGRSpatialReference::ToHandle(
                     const_cast<OGRSpatialReference *>(picture.GetGCPSpatialRef())));
  const char *description = picture.GetMetadataItem("TIFFTAG_IMAGEDESCRIPTION");
  if (description != nullptr) GDALSetMetadataItem(out, "TIFFTAG_IMAGEDESCRIPTION", description, nullptr);
  int blockWidth = 0, blockHeight = 1;
  GDALGetBlockSize(GDALGetRasterBand(out, 1), &blockWidth, &blockHeight);
  blockHeight = std::max(1, blockHeight);
  for (int b = 1; b <= 3; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(out, b);
    int hasNodata = 0;
    double nodata = picture.GetRasterBand(b)->GetNoDataValue(&hasNodata);
    if (hasNodata) GDALSetRasterNoDataValue(band, nodata);
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
      const uint8_t *line = picture.lines().Line(y0 + i);
      if (line != nullptr) memcpy(&chunk[(size_t)i * lineBytes], line, lineBytes);
      ok = line != nullptr;
    }
    if (ok)
      ok = GDALDatasetRasterIO(out, GF_Write, 0, y0, width, lines, chunk.get(), width, lines,
                               GDT_Byte, 3, nullptr, 3, (GSpacing)lineBytes, 1) == CE_None;
    // The bands share their blocks: flushing the first writes all three.
    for (int b = 1; ok && b <= 3; ++b)
      ok = GDALFlushRasterCache(GDALGetRasterBand(out, b)) == CE_None;
    if (ok && !report((double)(y0 + lines) / height, nullptr, reportData)) {
      CPLError(CE_Failure, CPLE_UserInterrupt, "interrupted");
      ok = false;
    }
  }
  return CloseChecked(out) && ok;
}

// A format written only as a copy reads the picture through GDAL.
bool WriteCopy(Picture &picture, const OutputOptions &output, const std::string &path,
               GDALProgressFunc report, void *reportData) {
  char **options = CreationOptions(output);
  GDALDatasetH out = GDALCreateCopy(output.format.driver, path.c_str(),
                                    GDALDataset::ToHandle(&picture), FALSE, options, report,
                                    reportData);
  CSLDestroy(options);
  return out != nullptr && CloseChecked(out);
}

// The drivers whose copy reads the picture once, top to bottom.
bool CopiesInOrder(const std::string &name) {
  for (const char *n : {"PNG", "JPEG", "WEBP", "GIF"})
    if (name == n) return true;
  return false;
}

// Any other copy: the picture goes to a temporary GeoTIFF beside the output
// first (half the progress), and the driver copies from that, in any order.
bool WriteThroughGeoTiff(Picture &picture, const OutputOptions &output, const std::string &path,
                         GDALProgressFunc report, std::string *temporary, std::string *error) {
  HiddenFile stored(output.path, ".tif");
  if (!stored.ok()) {
    *error = stored.error();
    return false;
  }
  *temporary = stored.path();
  char **options = nullptr;
  for (const char *o : {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
                        "ZLEVEL=1", "BIGTIFF=IF_SAFER", "NUM_THREADS=ALL_CPUS"})
    options = CSLAddString(options, o);
  void *first = GDALCreateScaledProgress(0, 0.5, report, nullptr);
  bool ok = WriteRows(picture, GDALGetDriverByName("GTiff"), options, stored.path(),
                      GDALScaledProgress, first, error);
  GDALDestroyScaledProgress(first);
  CSLDestroy(options);
  if (!ok) return false;
  GDALDatasetH back = GDALOpen(stored.path().c_str(), GA_ReadOnly);
  if (back == nullptr) return false;
  StoredLines lines(back);
  Picture copy(output, &lines);
  void *second = GDALCreateScaledProgress(0.5, 1, report, nullptr);
  ok = WriteCopy(copy, output, path, GDALScaledProgress, second);
  GDALDestroyScaledProgress(second);
  GDALClose(back);
  if (!ok && !lines.trouble().empty()) *error = lines.trouble();
  return ok;
}

}  // namespace

bool WriteView(Session &session, const OutputOptions &output, std::string *error) {
  GDALAllRegister();
  error->clear();
  AsideOutput aside(output.path);
  if (!aside.ok()) {
    *error = aside.error();
    return false;
  }
  CPLErrorReset();
  GDALProgressFunc report = output.progress ? GDALTermProgress : GDALDummyProgress;
  ModuleLines lines(session, output);
  Picture picture(output, &lines);
  std::string temporary;
  bool ok;
  if (output.format.create) {
    char **options = CreationOptions(output);
    ok = WriteRows(picture, output.format.driver, options, aside.path(), report, nullptr, error);
    CSLDestroy(options);
  } else if (CopiesInOrder(output.format.name)) {
    ok = WriteCopy(picture, output, aside.path(), report, nullptr);
  } else {
    ok = WriteThroughGeoTiff(picture, output, aside.path(), report, &temporary, error);
  }
  if (!ok) {
    if (!lines.trouble().empty())
      *error = lines.trouble();
    else if (error->empty())
      *error = CPLGetLastErrorMsg()[0] ? CPLGetLastErrorMsg() : "cannot write " + output.path;
    // GDAL names the file it was writing: the output's own name is meant.
    for (const std::string &written : {aside.path(), temporary})
      for (size_t at; !written.empty() && (at = error->find(written)) != std::string::npos;)
        error->replace(at, written.size(), output.path);
    *error += "; nothing was written to " + output.path;
    return false;
  }
  if (output.format.worldFile && output.geo &&
      !WriteWorldFile(aside.Companion(WorldFileName(output.path)), *output.geo, error))
    return false;
  return aside.Commit(error);
}

}  // namespace rhl
