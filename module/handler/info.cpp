// The handler descriptor and the entries that need nothing else.
#include <string.h>

#include "handler.h"

static const HandlerDescriptor kDescriptor = {
    1, "ECW.RHL", "Native ECW Handler", 2, {"ecw", "url", "", ""}};

RHL_ENTRY int32_t RHL_CALL HandlerGetInfo(HandlerDescriptor *pDescriptor) {
  memcpy(pDescriptor, &kDescriptor, sizeof kDescriptor);
  return 1;
}

RHL_ENTRY int32_t RHL_CALL HandlerClose(Raster *pRaster) {
  (void)pRaster;
  return 1;
}
