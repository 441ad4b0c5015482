// Views and line delivery.
#include <stdint.h>
#include <string.h>

#include "../diagnostics/diagnostics.h"
#include "../platform/platform.h"
#include "handler.h"

#define RX_SOURCE_NAME "view"

enum { kMaxBands = 3 };

static int64_t Min64(int64_t a, int64_t b) { return a < b ? a : b; }

// The last pixel before an exclusive edge, wrapping as 32-bit arithmetic does.
static int32_t Inclusive(int32_t edge) { return (int32_t)((uint32_t)edge - 1u); }

// (bands + 1) x width x 2 bytes, or 0 when that does not fit a size_t.
static size_t LineBufferSize(uint32_t bands, int32_t width) {
  uint64_t bytes = ((uint64_t)bands + 1u) * (uint64_t)(uint32_t)width * 2u;
  return bytes > (uint64_t)SIZE_MAX ? 0 : (size_t)bytes;
}

static void ReportSetViewError(uint32_t bands, const RhlRect *pSource, int32_t width,
                               int32_t height) {
  ReportError("Error while setting file view to %d bands, TL[%d,%d] BR[%d,%d], "
              "Window size [%d,%d]",
              (int)bands, (int)pSource->left, (int)pSource->top, (int)pSource->right,
              (int)pSource->bottom, (int)width, (int)height);
}

// Sets the state's freshly opened view; on failure the view is ended again.
static int SetUpView(ViewState *pState, const Raster *pRaster, const RhlRect *pDestination,
                     const RhlRect *pSource, double scale, int32_t *pWidth) {
  if (NCScbmGetViewFileInfo(pState->view, &pState->fileInfo) != 0 || pState->fileInfo == NULL) {
    ReportError("Error getting view into ECW file: '%s'", pRaster->name);
    return 0;
  }
  // At scale 1.0 exactly the window is the source; otherwise it is no
  // larger than the destination.
  int64_t width = (int64_t)pSource->right - pSource->left;
  int64_t height = (int64_t)pSource->bottom - pSource->top;
  if (!(scale == 1.0)) {
    width = Min64((int64_t)pDestination->right - pDestination->left, width);
    height = Min64((int64_t)pDestination->bottom - pDestination->top, height);
  }
  uint32_t bands = pState->fileInfo->bands;
  if (bands > kMaxBands) bands = kMaxBands;
  // Nothing to view: no bands, or an empty, inverted or oversized window.
  if (bands == 0 || width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
    ReportSetViewError(bands, pSource, (int32_t)width, (int32_t)height);
    return 0;
  }

  pState->bandList = (uint32_t *)PlatAlloc(bands * sizeof(uint32_t));
  if (pState->bandList == NULL) {
    ReportError("Error - unable to malloc band list");
    return 0;
  }
  for (uint32_t i = 0; i < bands; ++i) pState->bandList[i] = i;

  if (NCScbmSetFileView(pState->view, bands, pState->bandList, pSource->left, pSource->top,
                        Inclusive(pSource->right), Inclusive(pSource->bottom), (int32_t)width,
                        (int32_t)height) != 0) {
    ReportSetViewError(bands, pSource, (int32_t)width, (int32_t)height);
    return 0;
  }
  size_t bufferSize = LineBufferSize(bands, (int32_t)width);
  pState->lineBuffer = bufferSize ? (uint8_t *)PlatAlloc(bufferSize) : NULL;
  if (pState->lineBuffer == NULL) {
    ReportError("Malloc error for output buffers");
    return 0;
  }
  *pWidth = (int32_t)width;
  return 1;
}

RHL_ENTRY int32_t RHL_CALL HandlerBeginView(Raster *pRaster, const RhlRect *pDestination,
                                            const RhlRect *pSource, double scale,
                                            int32_t *pLineWidth) {
  if (pRaster == NULL) {
    RX_ASSERT(pRaster!=NULL);
    return 0;
  }
  ViewState *pState = LiveViewState(pRaster);
  if (pState != NULL) {
    EndCurrentView(pState);  // a view the host did not end is ended now, whatever follows
    pState->currentLine = -1;
  }
  // The name is the record's, and read only up to the end of its field.
  if (pState == NULL || memchr(pRaster->name, '\0', sizeof pRaster->name) == NULL) {
    ReportError("Error - no ECW file is open for this view");
    return 0;
  }

  if (NCScbmOpenFileView(pRaster->name, &pState->view, NULL) != 0) {
    ReportError("ERROR opening view into ECW file: '%s' (%s)", pRaster->name, SystemErrorText());
    pState->view = NULL;
    return 0;
  }
  int32_t width = 0;
  if (!SetUpView(pState, pRaster, pDestination, pSource, scale, &width)) {
    EndCurrentView(pState);
    return 0;
  }
  *pLineWidth = width;
  pRaster->errorCode = kErrorNone;
  return 1;
}

RHL_ENTRY int32_t RHL_CALL HandlerReadLine(Raster *pRaster, int32_t lineIndex,
                                           uint8_t **pLineAddress, uint16_t *pFlag) {
  if (pRaster == NULL) {
    RX_ASSERT(pRaster!=NULL);
    return 0;
  }
  ViewState *pState = LiveViewState(pRaster);
  *pLineAddress = pState != NULL ? pState->lineBuffer : NULL;
  if (pState == NULL || pState->view == NULL) {
    ReportError("Error reading line from ECW file");
    return 0;
  }
  if (lineIndex != pState->currentLine) {
    if (NCScbmReadViewLineRGB(pState->view, pState->lineBuffer) != 0) {
      ReportError("Error reading line from ECW file");
      return 0;
    }
    pState->currentLine = lineIndex;
  }
  *pFlag = 0;
  pRaster->errorCode = kErrorNone;
  return 1;
}

RHL_ENTRY int32_t RHL_CALL HandlerEndView(Raster *pRaster) {
  if (pRaster == NULL) {
    RX_ASSERT(pRaster!=NULL);
    return 1;
  }
  ViewState *pState = LiveViewState(pRaster);
  if (pState != NULL) EndCurrentView(pState);
  pRaster->errorCode = kErrorNone;
  return 1;
}
