// Loads ECW.RHL as the host application does: by LoadLibrary, each entry by
// its ordinal, and drives an image through it over the fake ncsecwex.dll.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fake_ncsecwex.h"
#include "handler/hostif.h"

static int gPassed = 0, gFailed = 0;
static void Expect(bool ok, const char *what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  (ok ? gPassed : gFailed)++;
}

int main() {
  HMODULE module = LoadLibraryA("ECW.RHL");
  Expect(module != NULL, "LoadLibrary(\"ECW.RHL\")");
  if (module == NULL) return 1;
  void *entries[kEntryCount];
  for (int i = 0; i < kEntryCount; ++i) {
    const HandlerEntry &e = kHandlerEntries[i];
    entries[i] = (void *)GetProcAddress(module, MAKEINTRESOURCEA(e.ordinal));
    char what[96];
    snprintf(what, sizeof what, "entry %d found by ordinal", e.ordinal);
    Expect(entries[i] != NULL, what);
    snprintf(what, sizeof what, "%s not found by name", e.name);
    Expect(GetProcAddress(module, e.name) == NULL, what);
  }
  if (gFailed) return 1;
  auto getInfo = (HandlerGetInfoFn)entries[0];
  auto probe = (HandlerProbeFn)entries[1];
  auto open = (HandlerOpenFn)entries[2];
  auto begin = (HandlerBeginViewFn)entries[3];
  auto read = (HandlerReadLineFn)entries[4];
  auto end = (HandlerEndViewFn)entries[5];
  auto lastError = (HandlerGetLastErrorFn)entries[7];

  HandlerDescriptor d;
  Expect(getInfo(&d) == 1 && d.leadingWord == 1 && strcmp(d.name, "ECW.RHL") == 0,
         "descriptor names ECW.RHL");
  fake::Reset();
  Expect(probe("C:\\maps\\tile.ecw") == 1, "probe of an ECW name");
  static Raster raster;  // the host's record, for the whole session
  Expect(open(&raster, "C:\\maps\\tile.ecw", 0) == 1 && lastError(&raster) == 0, "open");
  Expect(raster.width == 100 && raster.height == 50, "size in the record");
  RhlRect source = {10, 20, 110, 70}, destination = {0, 0, 50, 25};
  int32_t width = 0;
  Expect(begin(&raster, &destination, &source, 0.5, &width) == 1 && width == 50, "begin view");
  bool lines = true;
  for (int y = 0; y < 25; ++y) {
    uint8_t *line = NULL;
    uint16_t flag = 1;
    lines = lines && read(&raster, y, &line, &flag) == 1 && flag == 0 &&
            line[0] == fake::Pixel(y, 0, 0) && line[3 * 49 + 2] == fake::Pixel(y, 49, 2);
  }
  Expect(lines, "25 lines read from the module's buffer");
  Expect(end(&raster) == 1 && fake::OpenViews() == 0 && fake::Misuses() == 0,
         "end view closes every view once");
  printf("%d passed, %d failed\n", gPassed, gFailed);
  return gFailed ? 1 : 0;
}
