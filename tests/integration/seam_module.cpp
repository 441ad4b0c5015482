// A handler module for rhl serve's worker tests: every entry passes through
// to the real ECW.RHL, except views of images whose resolved file name asks
// for trouble:
//   "hold": HandlerBeginView writes this process's id to NAME.holding and
//           waits until NAME.release exists (two minutes at most);
//   "crash": HandlerReadLine aborts the process at line 3, as a decoder that
//           crashes on a hostile file would.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "handler/hostif.h"

#define SEAM_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

void *Real(const char *entry) {
  static void *module = dlopen(REAL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    fprintf(stderr, "SEAM.RHL: cannot load %s: %s\n", REAL_MODULE_PATH, dlerror());
    abort();
  }
  return dlsym(module, entry);
}

template <typename Fn>
Fn RealEntry(const char *entry) {
  return reinterpret_cast<Fn>(Real(entry));
}

// Whether the image's file name (not its folder's) holds `word`.
bool Names(const Raster *r, const char *word) {
  if (r == nullptr || strnlen(r->name, sizeof r->name) == sizeof r->name) return false;
  const char *slash = strrchr(r->name, '/');
  return strstr(slash != nullptr ? slash + 1 : r->name, word) != nullptr;
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void Hold(const Raster *r) {
  std::string name(r->name);
  std::string temp = name + ".holding.part";
  FILE *f = fopen(temp.c_str(), "w");
  if (f != nullptr) {
    fprintf(f, "%d\n", (int)getpid());
    fclose(f);
    rename(temp.c_str(), (name + ".holding").c_str());
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!Exists(name + ".release") && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

SEAM_ENTRY int32_t HandlerGetInfo(HandlerDescriptor *d) {
  return RealEntry<HandlerGetInfoFn>("HandlerGetInfo")(d);
}
SEAM_ENTRY int32_t HandlerProbe(const char *name) {
  return RealEntry<HandlerProbeFn>("HandlerProbe")(name);
}
SEAM_ENTRY int32_t HandlerOpen(Raster *r, const char *name, int32_t ignored) {
  return RealEntry<HandlerOpenFn>("HandlerOpen")(r, name, ignored);
}
SEAM_ENTRY int32_t HandlerBeginView(Raster *r, const RhlRect *destination, const RhlRect *source,
                                    double scale, int32_t *lineWidth) {
  if (Names(r, "hold")) Hold(r);
  return RealEntry<HandlerBeginViewFn>("HandlerBeginView")(r, destination, source, scale,
                                                            lineWidth);
}
SEAM_ENTRY int32_t HandlerReadLine(Raster *r, int32_t line, uint8_t **address, uint16_t *flag) {
  if (line == 3 && Names(r, "crash")) {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);  // no core file
    abort();
  }
  return RealEntry<HandlerReadLineFn>("HandlerReadLine")(r, line, address, flag);
}
SEAM_ENTRY int32_t HandlerEndView(Raster *r) {
  return RealEntry<HandlerEndViewFn>("HandlerEndView")(r);
}
SEAM_ENTRY int32_t HandlerClose(Raster *r) { return RealEntry<HandlerCloseFn>("HandlerClose")(r); }
SEAM_ENTRY uint32_t HandlerGetLastError(Raster *r) {
  return RealEntry<HandlerGetLastErrorFn>("HandlerGetLastError")(r);
}
// The real library's reasons, through the real module.
SEAM_ENTRY const char *NCSecwexLastReason(void) {
  auto reason = reinterpret_cast<const char *(*)(void)>(Real("NCSecwexLastReason"));
  return reason != nullptr ? reason() : nullptr;
}
