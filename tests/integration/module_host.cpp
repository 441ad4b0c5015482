#include "module_host.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fixtures.h"

namespace fixtures {
namespace {
int gSavedStderr = -1;
std::string gCapturePath;
}  // namespace

const rhl::HandlerModule &Module() {
  static rhl::HandlerModule module;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    if (!module.Load(RHL_MODULE_PATH, &error)) throw std::runtime_error(error);
    loaded = true;
  }
  return module;
}

std::string CaptureStart() {
  gCapturePath = TempDir() + "/stderr.txt";
  fflush(stderr);
  gSavedStderr = dup(2);
  FILE *f = freopen(gCapturePath.c_str(), "w", stderr);
  (void)f;
  return gCapturePath;
}

std::string CaptureEnd() {
  fflush(stderr);
  dup2(gSavedStderr, 2);
  close(gSavedStderr);
  std::ifstream in(gCapturePath);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<uint8_t> ReadAllLines(Raster *raster, RhlRect destination, RhlRect source,
                                  double scale, int32_t *width, int32_t *height) {
  const rhl::HandlerModule &m = Module();
  std::vector<uint8_t> all;
  *width = 0;
  if (!m.BeginView()(raster, &destination, &source, scale, width)) return all;
  *height = scale == 1.0 ? source.bottom - source.top
                         : std::min(destination.bottom - destination.top, source.bottom - source.top);
  for (int y = 0; y < *height; ++y) {
    uint8_t *line = nullptr;
    uint16_t flag = 1;
    if (!m.ReadLine()(raster, y, &line, &flag) || flag != 0) {
      all.clear();
      break;
    }
    all.insert(all.end(), line, line + (size_t)*width * 3);
  }
  m.EndView()(raster);
  return all;
}

}  // namespace fixtures
