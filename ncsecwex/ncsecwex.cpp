// The ECW library's five operations over GDAL, for platforms where the
// closed library is absent. Any raster GDAL reads (GeoTIFF, JPEG 2000, ...)
// can be opened; http(s) names are read through GDAL's ranged HTTP access.
#include "ecw/ncsecwex.h"

#include <errno.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "cpl_error.h"
#include "cpl_vsi.h"
#include "gdal.h"
#include "strip.h"

namespace {

// Quiets GDAL's own error printing for the length of a call.
struct QuietErrors {
  QuietErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
  ~QuietErrors() { CPLPopErrorHandler(); }
};

std::string GdalName(const char *name) {
  if (strncmp(name, "http://", 7) == 0 || strncmp(name, "https://", 8) == 0)
    return std::string("/vsicurl/") + name;
  return name;
}

int32_t Fail(int error) {
  errno = error;
  return 1;
}

}  // namespace

struct EcwView {
  GDALDatasetH dataset = nullptr;
  EcwFileInfo info{};
  std::string gdalName;
  GDALColorTableH palette = nullptr;  // a paletted image's one band, as RGB
  ncsecwex::StripReader reader;
};

extern "C" {

NCS_API int32_t NCS_CALL NCScbmOpenFileView(const char *name, EcwView **pView, void *pReserved) {
  (void)pReserved;
  if (name == nullptr || pView == nullptr) return Fail(EINVAL);
  static bool registered = false;
  if (!registered) {
    GDALAllRegister();
    registered = true;
  }
  QuietErrors quiet;
  std::string gdalName = GdalName(name);
  GDALDatasetH dataset = GDALOpenEx(gdalName.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr,
                                    nullptr, nullptr);
  if (dataset == nullptr) {
    VSIStatBufL stat;
    return Fail(VSIStatL(gdalName.c_str(), &stat) != 0 ? ENOENT : EINVAL);
  }
  double gt[6];
  GDALGetGeoTransform(dataset, gt);  // without one: (0, 1, 0, 0, 0, 1)
  int bands = GDALGetRasterCount(dataset);
  if (gt[2] != 0.0 || gt[4] != 0.0 || bands > 0xFFFF) {  // the record carries no rotation
    GDALClose(dataset);
    return Fail(EINVAL);
  }
  EcwView *view = new (std::nothrow) EcwView;
  if (view == nullptr) {
    GDALClose(dataset);
    return Fail(ENOMEM);
  }
  view->dataset = dataset;
  view->gdalName = gdalName;
  if (bands == 1) {
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    GDALColorTableH table = GDALGetRasterColorTable(band);
    if (table != nullptr && GDALGetPaletteInterpretation(table) == GPI_RGB) {
      view->palette = table;
      bands = 3;
    }
  }
  view->info.width = (uint32_t)GDALGetRasterXSize(dataset);
  view->info.height = (uint32_t)GDALGetRasterYSize(dataset);
  view->info.bands = (uint16_t)bands;
  view->info.originX = gt[0];
  view->info.cellSizeX = gt[1];
  view->info.originY = gt[3];
  view->info.cellSizeY = gt[5];
  *pView = view;
  return 0;
}

NCS_API int32_t NCS_CALL NCScbmGetViewFileInfo(EcwView *view, EcwFileInfo **pInfo) {
  if (view == nullptr || pInfo == nullptr) return Fail(EINVAL);
  *pInfo = &view->info;
  return 0;
}

NCS_API int32_t NCS_CALL NCScbmSetFileView(EcwView *view, uint32_t bandCount, uint32_t *pBandList,
                                           int32_t left, int32_t top, int32_t right,
                                           int32_t bottom, int32_t windowWidth,
                                           int32_t windowHeight) {
  if (view == nullptr) return Fail(EINVAL);
  const EcwFileInfo &info = view->info;
  if (left < 0 || top < 0 || left > right || top > bottom || (uint32_t)right >= info.width ||
      (uint32_t)bottom >= info.height || windowWidth < 1 || windowHeight < 1 ||
      bandCount == 0 || pBandList == nullptr)
    return Fail(EINVAL);
  std::vector<uint32_t> bands(pBandList, pBandList + bandCount);
  for (uint32_t b : bands)
    if (b >= info.bands) return Fail(EINVAL);

  ncsecwex::Region region{left, top, right - left + 1, bottom - top + 1, windowWidth,
                          windowHeight};
  QuietErrors quiet;
  if (!view->reader.Set(view->dataset, view->gdalName.c_str(), view->palette, bands, region))
    return Fail(EINVAL);
  return 0;
}

NCS_API int32_t NCS_CALL NCScbmReadViewLineRGB(EcwView *view, uint8_t *line) {
  if (view == nullptr || line == nullptr) return Fail(EINVAL);
  QuietErrors quiet;
  return view->reader.NextLine(line) ? 0 : Fail(EIO);
}

NCS_API int32_t NCS_CALL NCScbmCloseFileView(EcwView *view) {
  if (view == nullptr) return Fail(EINVAL);
  GDALClose(view->dataset);
  delete view;
  return 0;
}

}  // extern "C"
