// The view states the module has handed out, and the end of a view.
//
// A raster record belongs to the host, and the pointer the handler hangs on
// it may be stale or never set. The module therefore keeps its own list of
// the states it created and reads through a record's pointer only when the
// list holds it.
#include "../platform/platform.h"
#include "handler.h"

static ViewState *gLiveStates = NULL;

ViewState *LiveViewState(const Raster *pRaster) {
  for (ViewState *p = gLiveStates; p != NULL; p = p->nextLive)
    if (p == pRaster->viewState) return p->marker == kStateLive ? p : NULL;
  return NULL;
}

ViewState *CreateViewState(void) {
  ViewState *pState = (ViewState *)PlatAlloc(sizeof(ViewState));
  if (pState == NULL) return NULL;
  pState->marker = kStateLive;
  pState->nextLive = gLiveStates;
  gLiveStates = pState;
  return pState;
}

void EndCurrentView(ViewState *pState) {
  if (pState->view != NULL) NCScbmCloseFileView(pState->view);
  pState->view = NULL;
  pState->fileInfo = NULL;
  PlatFree(pState->lineBuffer);
  pState->lineBuffer = NULL;
  PlatFree(pState->bandList);
  pState->bandList = NULL;
}

void ReleaseViewState(ViewState *pState) {
  EndCurrentView(pState);
  for (ViewState **pp = &gLiveStates; *pp != NULL; pp = &(*pp)->nextLive) {
    if (*pp == pState) {
      *pp = pState->nextLive;
      break;
    }
  }
  pState->marker = kStateDead;
  PlatFree(pState);
}
