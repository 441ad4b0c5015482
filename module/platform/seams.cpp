// The parts of the platform layer both implementations share: the message
// sink and the scripted failures that tests use.
#include "platform.h"

static PlatMessageSink gSink = NULL;
static PlatOp gFaultOp = PLAT_OP_NONE;
static int gFaultSkip = 0;
static uint32_t gFaultError = 0;

void PlatSetMessageSink(PlatMessageSink sink) { gSink = sink; }

int PlatSinkMessage(const char *caption, const char *text) {
  if (gSink == NULL) return 0;
  gSink(caption, text);
  return 1;
}

void PlatFailNext(PlatOp op, int skip, uint32_t error) {
  gFaultOp = op;
  gFaultSkip = skip;
  gFaultError = error;
}

int PlatFailurePending(void) { return gFaultOp != PLAT_OP_NONE; }

int PlatFaultFires(PlatOp op, uint32_t *pError) {
  if (gFaultOp == PLAT_OP_NONE || (gFaultOp != op && gFaultOp != PLAT_OP_ANY)) return 0;
  if (gFaultSkip > 0) {
    gFaultSkip--;
    return 0;
  }
  *pError = gFaultError;
  gFaultOp = PLAT_OP_NONE;
  return 1;
}
