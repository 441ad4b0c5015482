// Probing and opening an image.
#include <string.h>

#include "../diagnostics/diagnostics.h"
#include "../linkfile/linkfile.h"
#include "../platform/platform.h"
#include "handler.h"

#define RX_SOURCE_NAME "open"

// Refuses a name that does not fit `size` bytes, telling the user why.
static int NameFits(const char *name, size_t size) {
  size_t length = strlen(name);
  if (length < size) return 1;
  ReportError("Error - ECW file name is too long (%lu characters, at most %lu): '%s'",
              (unsigned long)length, (unsigned long)(size - 1), name);
  return 0;
}

int GetEcwImageSummary(const char *name, char *resolvedName, EcwImageSummary *pSummary) {
  if (name == NULL || (!IsEcwName(name) && !IsLinkName(name))) return 0;
  if (IsLinkName(name)) {
    if (ReadUrlFromFile(name, resolvedName) != 0) {
      ShowErrorBox(GetLastMessage());
      return 0;
    }
  } else {
    if (!NameFits(name, kNameSize)) return 0;
    memcpy(resolvedName, name, strlen(name) + 1);
  }

  EcwView *view = NULL;
  if (NCScbmOpenFileView(resolvedName, &view, NULL) != 0) {
    ReportError("Error opening view into ECW file: '%s' (%s)", resolvedName, SystemErrorText());
    return 0;
  }
  EcwFileInfo *pInfo = NULL;
  if (NCScbmGetViewFileInfo(view, &pInfo) != 0 || pInfo == NULL) {
    ReportError("Error getting view into ECW file: '%s'", resolvedName);
    NCScbmCloseFileView(view);
    return 0;
  }
  pSummary->width = pInfo->width;
  pSummary->height = pInfo->height;
  pSummary->ulX = pInfo->originX;
  pSummary->ulY = pInfo->originY;
  pSummary->lrX = (double)pInfo->width * pInfo->cellSizeX + pInfo->originX;
  pSummary->lrY = (double)pInfo->height * pInfo->cellSizeY + pInfo->originY;
  NCScbmCloseFileView(view);
  return 1;
}

RHL_ENTRY int32_t RHL_CALL HandlerProbe(const char *name) {
  char resolvedName[kNameSize];
  EcwImageSummary summary;
  return GetEcwImageSummary(name, resolvedName, &summary) ? 1 : 0;
}

RHL_ENTRY int32_t RHL_CALL HandlerOpen(Raster *pRaster, const char *name, int32_t ignored) {
  (void)ignored;
  if (pRaster == NULL) {
    RX_ASSERT(pRaster!=NULL);
    return 0;
  }
  pRaster->clearedWord = 0;
  // A record opened before gives up its old state, and any view still open
  // on it, before the new state is made: the lookup can then never find the
  // new state, whatever address it gets.
  ViewState *pOld = ViewStateMadeFor(pRaster);
  if (pOld != NULL) ReleaseViewState(pOld);
  ViewState *pState = CreateViewState(pRaster);
  if (pState == NULL) {
    // The record's pointer keeps what it held; it names no live state now.
    pRaster->errorCode = kErrorNoViewState;
    return 0;
  }
  pRaster->viewState = pState;

  char resolvedName[kNameSize];
  EcwImageSummary summary;
  RegistrationBlock *pBlock = NULL;
  int opened = GetEcwImageSummary(name, resolvedName, &summary) &&
               NameFits(resolvedName, kRasterNameSize);
  if (opened) {
    pBlock = BuildRegistrationBlock(&summary);
    if (pBlock == NULL) {
      ReportError("Error - unable to malloc registration block for ECW file: '%s'", resolvedName);
      opened = 0;
    }
  }
  if (!opened) {
    ReleaseViewState(pState);
    pRaster->viewState = NULL;
    pRaster->errorCode = kErrorCannotOpen;
    return 0;
  }
  memcpy(pRaster->name, resolvedName, strlen(resolvedName) + 1);
  pRaster->width = (int32_t)summary.width;
  pRaster->height = (int32_t)summary.height;
  pRaster->valueThree = 3;
  pRaster->registration = pBlock;
  pRaster->errorCode = kErrorNone;
  return 1;
}
