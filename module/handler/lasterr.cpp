// The last-error entry.
//
// Every opened image carries an error code in its raster record, which the
// host may read at any time after the open through HandlerGetLastError:
//
//   0  the last entry that sets the code succeeded. HandlerOpen,
//      HandlerBeginView and HandlerReadLine set it on success;
//      HandlerEndView always sets it.
//   4  HandlerOpen could not allocate the handler's private view state.
//      No message box is shown for it; the record's view-state pointer
//      keeps whatever it held before the open.
//   5  HandlerOpen was given a name with neither served extension
//      (".ecw", ".url"), or the name could not be resolved through its
//      link file, or the library could not open it or describe it. The
//      user has already seen a message box for every case but the first.
//
// A HandlerBeginView or HandlerReadLine that fails leaves the code as it
// was, so that after a good open and a failed view the host still reads 0.
// The probe has no record and sets no code.
//
// The entry reads nothing but the code itself. Asking with no record at all
// is a fault of the host: the entry then reports the failed check through
// the assertion box, whose text names this source ("lasterr") and the line
// of the check, and answers kNoRecord without touching any memory. Hosts
// that log the box text rely on that line number; the static_assert beside
// the check keeps it where it is.
//
// HandlerClose does not touch the code either: a host may read it after
// closing, as long as the record itself is still the host's.
//
// The record's layout, and the offset of the code within it, are declared
// once in hostif.h, which hosts include as well.
//
// Nothing here allocates, and nothing here is called by the other entries.
// The code field is written directly by those entries; this file only reads.
// A host written before this module always received the code unchanged, and
// still does.
// The view entries refuse to run on a record whose open failed, and leave
// the code alone when they do.
#include "../diagnostics/diagnostics.h"
#include "handler.h"

#define RX_SOURCE_NAME "lasterr"

// What the entry answers when it has no record to read.
static const uint32_t kNoRecord = 0xFFFFFFFFu;

RHL_ENTRY uint32_t RHL_CALL HandlerGetLastError(Raster *pRaster) {
  if (pRaster == NULL) {
    RX_ASSERT(pRaster!=NULL); static_assert(__LINE__ == 50, "the box names line 50");
    return kNoRecord;
  }
  return pRaster->errorCode;
}
