/* Loads ECW.RHL as the host application does: by LoadLibrary, each entry by
   its ordinal, and drives an image through it over the fake ncsecwex.dll.
   Written in C99, as a host may be, so the host-interface header stays
   usable from C. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fake_c.h"
#include "handler/hostif.h"

static int gPassed = 0, gFailed = 0;
static void Expect(int ok, const char *what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (ok)
    gPassed++;
  else
    gFailed++;
}

/* Any entry, as a plain function pointer until it is given its type. */
typedef void (*AnyEntry)(void);

static const char kImage[] = "C:\\maps\\tile.ecw";

int main(void) {
  HMODULE module = LoadLibraryA("ECW.RHL");
  AnyEntry entries[kEntryCount];
  char what[96];
  int i, y, lines = 1;
  Expect(module != NULL, "LoadLibrary(\"ECW.RHL\")");
  if (module == NULL) return 1;
  for (i = 0; i < kEntryCount; ++i) {
    const HandlerEntry *e = &kHandlerEntries[i];
    entries[i] = (AnyEntry)GetProcAddress(module, MAKEINTRESOURCEA(e->ordinal));
    snprintf(what, sizeof what, "entry %d found by ordinal", e->ordinal);
    Expect(entries[i] != NULL, what);
    snprintf(what, sizeof what, "%s not found by name", e->name);
    Expect(GetProcAddress(module, e->name) == NULL, what);
  }
  if (gFailed) return 1;
  {
    HandlerGetInfoFn getInfo = (HandlerGetInfoFn)entries[0];
    HandlerProbeFn probe = (HandlerProbeFn)entries[1];
    HandlerOpenFn open = (HandlerOpenFn)entries[2];
    HandlerBeginViewFn begin = (HandlerBeginViewFn)entries[3];
    HandlerReadLineFn read = (HandlerReadLineFn)entries[4];
    HandlerEndViewFn end = (HandlerEndViewFn)entries[5];
    HandlerCloseFn close = (HandlerCloseFn)entries[6];
    HandlerGetLastErrorFn lastError = (HandlerGetLastErrorFn)entries[7];
    static HandlerDescriptor d;
    static Raster raster; /* the host's record, for the whole session */
    RhlRect source = {10, 20, 110, 70}, destination = {0, 0, 50, 25};
    int32_t width = 0;
    const RegistrationBlock *block;

    Expect(getInfo(&d) == 1 && d.leadingWord == 1 && strcmp(d.name, "ECW.RHL") == 0 &&
               d.extensionCount == 2 && strcmp(d.extensions[1], "url") == 0,
           "descriptor names ECW.RHL and serves ecw and url");
    FakeReset();
    Expect(probe("C:\\maps\\tile.tif") == 0, "probe of a foreign name");
    Expect(probe(kImage) == 1, "probe of an ECW name");
    raster.clearedWord = 0xFFFFFFFFu;
    raster.hostReserved528 = 0x5151u;
    Expect(open(&raster, kImage, 0) == 1 && lastError(&raster) == 0, "open");
    Expect(strcmp(raster.name, kImage) == 0 && raster.width == 100 && raster.height == 50 &&
               raster.valueThree == 3 && raster.clearedWord == 0,
           "name, size and value 3 in the record, the cleared word cleared");
    Expect(raster.hostReserved528 == 0x5151u, "the host's own word untouched");
    block = raster.registration;
    Expect(block != NULL && block->magic == kRegistrationMagic &&
               block->size == kRegistrationSize && block->pointCount == 3 &&
               block->points[0].worldX == 10.0 && block->points[0].worldY == 900.0 &&
               block->points[1].pixelX == 100.0 && block->points[1].pixelY == 50.0,
           "registration block with its corner points");
    Expect(begin(&raster, &destination, &source, 0.5, &width) == 1 && width == 50, "begin view");
    for (y = 0; y < 25; ++y) {
      uint8_t *line = NULL;
      uint16_t flag = 1;
      lines = lines && read(&raster, y, &line, &flag) == 1 && flag == 0 &&
              line[0] == FakePixel(y, 0, 0) && line[3 * 49 + 2] == FakePixel(y, 49, 2);
    }
    Expect(lines, "25 lines read from the module's buffer");
    Expect(end(&raster) == 1 && FakeOpenViews() == 0 && FakeMisuses() == 0,
           "end view closes every view once");
    Expect(close(&raster) == 1, "close");
  }
  printf("%d passed, %d failed\n", gPassed, gFailed);
  return gFailed ? 1 : 0;
}
