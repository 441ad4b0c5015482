// The view states the module has handed out, and the end of a view.
//
// A raster record belongs to the host, and the pointer the handler hangs on
// it may be stale, copied from another record, or never set. Each state
// therefore remembers the record it was made for, and the module finds a
// record's state by the record's own address in a table of the states it
// created: a record has at most one state, and its pointer is accepted only
// when it names that state. Nothing is ever read through the record's
// pointer; it is only compared with the state found.
//
// The table is a hash on the record's address whose chains run through the
// states themselves, so adding a state needs no memory beyond the state.
// Its buckets start in static storage and grow when the chains get long; a
// growth that cannot be allocated only leaves the chains longer.
#include "../platform/platform.h"
#include "handler.h"

enum { kFirstBucketCount = 64, kMaxChainLoad = 2 };

static ViewState *gFirstBuckets[kFirstBucketCount];
static ViewState **gBuckets = gFirstBuckets;
static size_t gBucketCount = kFirstBucketCount;  // a power of two
static size_t gLiveCount = 0;

static size_t BucketOf(const Raster *pOwner, size_t bucketCount) {
  uint64_t key = (uint64_t)(uintptr_t)pOwner;
  // Mixes every bit of the address into the low ones (records are aligned,
  // and often sit at a fixed stride from one another).
  // (MurmurHash3's 64-bit finalizer: one round alone leaves addresses at a
  // fixed stride in chains several times longer than a random spread.)
  key ^= key >> 33;
  key *= 0xFF51AFD7ED558CCDull;
  key ^= key >> 33;
  key *= 0xC4CEB9FE1A85EC53ull;
  key ^= key >> 33;
  return (size_t)(key & (bucketCount - 1));
}

static void Rehash(ViewState **pBuckets, size_t bucketCount) {
  for (size_t i = 0; i < gBucketCount; ++i) {
    ViewState *p = gBuckets[i];
    gBuckets[i] = NULL;  // the first buckets are used again once all are gone
    while (p != NULL) {
      ViewState *next = p->nextInBucket;
      size_t b = BucketOf(p->owner, bucketCount);
      p->nextInBucket = pBuckets[b];
      pBuckets[b] = p;
      p = next;
    }
  }
  if (gBuckets != gFirstBuckets) PlatFree(gBuckets);
  gBuckets = pBuckets;
  gBucketCount = bucketCount;
}

// Doubles the buckets when the chains are long; nothing changes if the new
// buckets cannot be had.
static void GrowBuckets(void) {
  if (gLiveCount <= (size_t)kMaxChainLoad * gBucketCount) return;
  size_t bucketCount = gBucketCount * 2;
  if (bucketCount > SIZE_MAX / sizeof(ViewState *)) return;
  ViewState **pBuckets = (ViewState **)PlatAlloc(bucketCount * sizeof(ViewState *));
  if (pBuckets != NULL) Rehash(pBuckets, bucketCount);
}

// The last state gone, grown buckets are given back.
static void ShrinkBucketsWhenEmpty(void) {
  if (gLiveCount != 0 || gBuckets == gFirstBuckets) return;
  PlatFree(gBuckets);
  gBuckets = gFirstBuckets;
  gBucketCount = kFirstBucketCount;
}

ViewState *ViewStateMadeFor(const Raster *pRaster) {
  for (ViewState *p = gBuckets[BucketOf(pRaster, gBucketCount)]; p != NULL; p = p->nextInBucket)
    if (p->owner == pRaster) return p;
  return NULL;
}

ViewState *LiveViewState(const Raster *pRaster) {
  ViewState *pState = ViewStateMadeFor(pRaster);
  if (pState == NULL || (uintptr_t)pRaster->viewState != (uintptr_t)pState) return NULL;
  return pState;
}

ViewState *CreateViewState(const Raster *pOwner) {
  ViewState *pState = (ViewState *)PlatAlloc(sizeof(ViewState));
  if (pState == NULL) return NULL;
  pState->marker = kStateLive;
  pState->owner = pOwner;
  ++gLiveCount;
  GrowBuckets();
  size_t b = BucketOf(pOwner, gBucketCount);
  pState->nextInBucket = gBuckets[b];
  gBuckets[b] = pState;
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
  ViewState **pp = &gBuckets[BucketOf(pState->owner, gBucketCount)];
  while (*pp != NULL && *pp != pState) pp = &(*pp)->nextInBucket;
  if (*pp == NULL) return;  // not one of the table's states: nothing to release
  *pp = pState->nextInBucket;
  --gLiveCount;
  EndCurrentView(pState);
  pState->marker = kStateDead;
  PlatFree(pState);
  ShrinkBucketsWhenEmpty();
}

void ViewStateTableShape(size_t *pLive, size_t *pBuckets, size_t *pLongestChain) {
  size_t longest = 0;
  for (size_t i = 0; i < gBucketCount; ++i) {
    size_t length = 0;
    for (ViewState *p = gBuckets[i]; p != NULL; p = p->nextInBucket) ++length;
    if (length > longest) longest = length;
  }
  *pLive = gLiveCount;
  *pBuckets = gBucketCount;
  *pLongestChain = longest;
}
