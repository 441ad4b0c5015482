// The module as a host sees it: loaded from the build, driven entry by entry,
// its message boxes read from standard error.
#ifndef RHL_MODULE_HOST_H
#define RHL_MODULE_HOST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "loader.h"

namespace fixtures {

// The built module, loaded once.
const rhl::HandlerModule &Module();

// Everything written to standard error while `body` runs.
template <typename Body>
std::string StderrOf(Body body);

// Opens a view and reads every line; empty on any failure.
std::vector<uint8_t> ReadAllLines(Raster *raster, RhlRect destination, RhlRect source,
                                  double scale, int32_t *width, int32_t *height);

std::string CaptureStart();
std::string CaptureEnd();

template <typename Body>
std::string StderrOf(Body body) {
  CaptureStart();
  body();
  return CaptureEnd();
}

}  // namespace fixtures

#endif
