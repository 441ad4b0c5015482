// GDAL's own error printing quieted for the length of a call, on the calling
// thread (GDAL keeps one handler stack per thread).
#ifndef NCSECWEX_QUIET_H
#define NCSECWEX_QUIET_H

#include "cpl_error.h"

namespace ncsecwex {

struct QuietErrors {
  QuietErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
  ~QuietErrors() { CPLPopErrorHandler(); }
  QuietErrors(const QuietErrors &) = delete;
  QuietErrors &operator=(const QuietErrors &) = delete;
};

}  // namespace ncsecwex

#endif
