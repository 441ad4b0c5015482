// A handler module that gets the host interface wrong on purpose, for rhl's
// conformance check: a bad descriptor, a probe that accepts anything, no
// HandlerReadLine, and a last error that is never 0.
#include <string.h>

#include "handler/hostif.h"

#define BROKEN_ENTRY extern "C" __attribute__((visibility("default")))

BROKEN_ENTRY int32_t HandlerGetInfo(HandlerDescriptor *d) {
  memset(d, 0, sizeof *d);
  d->leadingWord = 2;
  strcpy(d->name, "BROKEN.RHL");
  d->extensionCount = 1;
  strcpy(d->extensions[0], ".ECW");
  return 1;
}
BROKEN_ENTRY int32_t HandlerProbe(const char *) { return 1; }
BROKEN_ENTRY int32_t HandlerOpen(Raster *, const char *, int32_t) { return 0; }
BROKEN_ENTRY int32_t HandlerBeginView(Raster *, const RhlRect *, const RhlRect *, double,
                                      int32_t *) {
  return 0;
}
BROKEN_ENTRY int32_t HandlerEndView(Raster *) { return 1; }
BROKEN_ENTRY int32_t HandlerClose(Raster *) { return 0; }
BROKEN_ENTRY uint32_t HandlerGetLastError(Raster *) { return 7; }
