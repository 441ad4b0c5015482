// The registration block: three control points tying pixel corners to world
// coordinates.
#include "../platform/platform.h"
#include "handler.h"

static ControlPoint Point(double worldX, double worldY, double pixelX, double pixelY) {
  ControlPoint p = {worldX, worldY, 0.0, pixelX, pixelY, 0.0};
  return p;
}

RegistrationBlock *BuildRegistrationBlock(const EcwImageSummary *pSummary) {
  RegistrationBlock *pBlock = (RegistrationBlock *)PlatAlloc(sizeof(RegistrationBlock));
  if (pBlock == NULL) return NULL;
  pBlock->magic = kRegistrationMagic;
  pBlock->size = kRegistrationSize;
  pBlock->flag = 1;
  pBlock->value = 1;
  pBlock->pointCount = 3;
  // Pixel corners are edges: the bottom-right point is at (width, height).
  double width = (double)(int32_t)pSummary->width;
  double height = (double)(int32_t)pSummary->height;
  pBlock->points[0] = Point(pSummary->ulX, pSummary->ulY, 0.0, 0.0);
  pBlock->points[1] = Point(pSummary->lrX, pSummary->lrY, width, height);
  pBlock->points[2] = Point(pSummary->lrX, pSummary->ulY, width, 0.0);
  return pBlock;
}
