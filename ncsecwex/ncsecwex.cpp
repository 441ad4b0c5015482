// The ECW library's five operations over GDAL, for platforms where the
// closed library is absent. Any raster GDAL reads (GeoTIFF, JPEG 2000, ...)
// can be opened; http(s) names are read through GDAL's ranged HTTP access.
#include "ecw/ncsecwex.h"

#include <errno.h>

#include <new>
#include <string>
#include <vector>

#include "cache.h"
#include "cpl_error.h"
#include "reason.h"
#include "strip.h"

namespace {

// Fails with an error code and, for a host that asks, the reason in words.
int32_t Fail(int error, const char *reason) {
  ncsecwex::SetFailure(error, reason);
  return 1;
}

// Once per image: its views this reduced sample the nearest level's pixels
// rather than average them, and the cure.
void NoteSampling(ncsecwex::Image *image, double covered) {
  if (covered <= 0 || image->sampledNoted) return;
  image->sampledNoted = true;
  const char *name = image->name.c_str();
  CPLError(CE_Warning, CPLE_AppDefined,
           "ncsecwex: '%s' has no overview near this view's scale (one output pixel covers %.0f "
           "pixels of the nearest level), so such views sample its pixels rather than average "
           "them; overviews make them smooth and fast: gdaladdo -r average '%s'",
           name, covered, name);
}

}  // namespace

// A view: an image lent by the cache for as long as the view is open.
struct EcwView {
  ncsecwex::Image *image = nullptr;
  ncsecwex::StripReader reader;
};

extern "C" {

NCS_API int32_t NCS_CALL NCScbmOpenFileView(const char *name, EcwView **pView, void *pReserved) {
  (void)pReserved;
  if (name == nullptr || pView == nullptr) return Fail(EINVAL, "no name, or nowhere to put the view");
  EcwView *view = new (std::nothrow) EcwView;
  if (view == nullptr) return Fail(ENOMEM, "");
  view->image = ncsecwex::AcquireImage(name);
  if (view->image == nullptr) {
    int error = errno;
    delete view;
    errno = error;  // the reason stays as the open left it
    return 1;
  }
  *pView = view;
  return 0;
}

NCS_API int32_t NCS_CALL NCScbmGetViewFileInfo(EcwView *view, EcwFileInfo **pInfo) {
  if (view == nullptr || pInfo == nullptr) return Fail(EINVAL, "no view, or nowhere to put its information");
  *pInfo = &view->image->info;
  return 0;
}

NCS_API int32_t NCS_CALL NCScbmSetFileView(EcwView *view, uint32_t bandCount, uint32_t *pBandList,
                                           int32_t left, int32_t top, int32_t right,
                                           int32_t bottom, int32_t windowWidth,
                                           int32_t windowHeight) {
  if (view == nullptr) return Fail(EINVAL, "no view");
  view->reader.Stop();  // nothing reads the image while the view changes
  const EcwFileInfo &info = view->image->info;
  if (left < 0 || top < 0 || left > right || top > bottom || (uint32_t)right >= info.width ||
      (uint32_t)bottom >= info.height || windowWidth < 1 || windowHeight < 1 ||
      bandCount == 0 || pBandList == nullptr)
    return Fail(EINVAL, "the view's region or window does not fit the image, or it has no bands");
  try {
    std::vector<uint32_t> bands(pBandList, pBandList + bandCount);
    for (uint32_t b : bands)
      if (b >= info.bands) return Fail(EINVAL, "the view asks for a band the image does not have");
    ncsecwex::Region region{left, top, right - left + 1, bottom - top + 1, windowWidth,
                            windowHeight};
    int error = 0;
    std::string reason;
    {
      ncsecwex::GdalMessages messages(view->image->remote);
      error = view->reader.Set(view->image, bands, region);
      if (error == ENOMEM) {
        reason = view->reader.FailureReason();
        if (reason.empty()) reason = "the view's lines do not fit in memory";
      } else if (error != 0) {
        // The library's own reason (a setting it cannot use), a file it
        // refused GDAL, or what GDAL said.
        reason = view->reader.FailureReason();
        if (reason.empty() && messages.Refused()) error = messages.Error(error);
        if (reason.empty()) reason = messages.Reason();
        if (reason.empty()) reason = "the image cannot be read as this view asks";
      }
    }
    if (error != 0) return Fail(error, reason.c_str());
    NoteSampling(view->image, view->reader.Sampled());
    return 0;
  } catch (const std::bad_alloc &) {
    return Fail(ENOMEM, "");
  }
}

NCS_API int32_t NCS_CALL NCScbmReadViewLineRGB(EcwView *view, uint8_t *line) {
  if (view == nullptr || line == nullptr) return Fail(EINVAL, "no view, or no line to fill");
  if (view->reader.NextLine(line)) return 0;
  const ncsecwex::StripReader &reader = view->reader;
  if (reader.FailureError() == 0) return Fail(EIO, "the view has no line to deliver");
  view->image->failed = true;  // not kept for another view
  return Fail(reader.FailureError(), reader.FailureReason().c_str());
}

NCS_API int32_t NCS_CALL NCScbmCloseFileView(EcwView *view) {
  if (view == nullptr) return Fail(EINVAL, "no view");
  view->reader.Stop();
  ncsecwex::ReleaseImage(view->image);
  delete view;
  return 0;
}

}  // extern "C"
