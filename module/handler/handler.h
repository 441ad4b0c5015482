// The handler's private side: the view state, the image summary and the
// routines the entries share.
#ifndef RHL_HANDLER_H
#define RHL_HANDLER_H

#include <stdint.h>

#include "../ecw/ncsecwex.h"
#include "hostif.h"

// Entries are exported by name on platforms that export names; the Windows
// DLL exports them by ordinal through exports.def.
#if defined(_WIN32)
#define RHL_ENTRY extern "C"
#else
#define RHL_ENTRY extern "C" __attribute__((visibility("default")))
#endif

enum : uint32_t {
  kStateLive = 0x0CCCCCCCu,
  kStateDead = 0x0DEADEADu,
};

// One per opened image, hung off the raster record.
struct ViewState {
  uint32_t marker;
  EcwView *view;          // the current view, NULL when none is open
  EcwFileInfo *fileInfo;  // owned by the library, valid while `view` is open
  uint8_t *lineBuffer;    // owned here from begin-view to end-view
  int32_t currentLine;    // the line now in lineBuffer; -1 for none
  uint32_t *bandList;     // lives as long as the view
  const Raster *owner;    // the record it was made for; never read through
  ViewState *nextInBucket;  // the module's table of live states
};

// The eight entries.
RHL_ENTRY int32_t RHL_CALL HandlerGetInfo(HandlerDescriptor *pDescriptor);
RHL_ENTRY int32_t RHL_CALL HandlerProbe(const char *name);
RHL_ENTRY int32_t RHL_CALL HandlerOpen(Raster *pRaster, const char *name, int32_t ignored);
RHL_ENTRY int32_t RHL_CALL HandlerBeginView(Raster *pRaster, const RhlRect *pDestination,
                                            const RhlRect *pSource, double scale,
                                            int32_t *pLineWidth);
RHL_ENTRY int32_t RHL_CALL HandlerReadLine(Raster *pRaster, int32_t lineIndex,
                                           uint8_t **pLineAddress, uint16_t *pFlag);
RHL_ENTRY int32_t RHL_CALL HandlerEndView(Raster *pRaster);
RHL_ENTRY int32_t RHL_CALL HandlerClose(Raster *pRaster);
RHL_ENTRY uint32_t RHL_CALL HandlerGetLastError(Raster *pRaster);

// What an open learns of an image.
typedef struct EcwImageSummary {
  uint32_t width;
  uint32_t height;
  double ulX, ulY;  // world coordinates of the top-left corner
  double lrX, lrY;  // world coordinates of the bottom-right corner
} EcwImageSummary;

// A registration block for the summary, or NULL when none can be allocated.
RegistrationBlock *BuildRegistrationBlock(const EcwImageSummary *pSummary);

// Resolves `name` into `resolvedName` (kNameSize bytes) and reads the image's
// summary: 1, or 0 after telling the user why.
int GetEcwImageSummary(const char *name, char *resolvedName, EcwImageSummary *pSummary);

// The state hung off the record, or NULL unless the record's pointer names
// the live state made for this very record: a pointer copied from another
// record, stale or never handed out is refused without being read through.
ViewState *LiveViewState(const Raster *pRaster);
// The live state made for this record, whatever the record's pointer now
// holds; NULL if there is none. The same cost however many states are live.
ViewState *ViewStateMadeFor(const Raster *pRaster);
// A fresh state for the record `pOwner` (not yet hung on it), or NULL when
// the state itself cannot be allocated; nothing else is allocated that could
// fail the open.
ViewState *CreateViewState(const Raster *pOwner);
// Ends the view of a live state (if any), takes it out of the table and
// releases it.
void ReleaseViewState(ViewState *pState);
// The table of live states, for tests: states, buckets and the longest chain.
void ViewStateTableShape(size_t *pLive, size_t *pBuckets, size_t *pLongestChain);
// Closes the state's view and releases what belongs to it; safe to repeat.
void EndCurrentView(ViewState *pState);

#endif
