// A scripted stand-in for the ECW library: each operation succeeds or fails
// as a test says, every call is logged, and lines are synthetic.
#ifndef RHL_FAKE_NCSECWEX_H
#define RHL_FAKE_NCSECWEX_H

#include <stdint.h>

#include <string>
#include <vector>

#include "ecw/ncsecwex.h"

// Built as ncsecwex.dll for the Windows host test, the fake exports its
// scripting too.
#if defined(_WIN32) && defined(FAKE_BUILDING_DLL)
#define FAKE_API __declspec(dllexport)
#elif defined(_WIN32) && defined(FAKE_USING_DLL)
#define FAKE_API __declspec(dllimport)
#else
#define FAKE_API
#endif

namespace fake {

enum class Op { Open, GetInfo, SetView, ReadLine, Close };

struct Call {
  Op op = Op::Open;
  explicit Call(Op o) : op(o) {}
  EcwView *view = nullptr;
  std::string name;               // Open
  std::vector<uint32_t> bands;    // SetView
  int32_t left = 0, top = 0, right = 0, bottom = 0, width = 0, height = 0;  // SetView
  int32_t result = 0;
};

// Everything succeeds; the image is 100 x 50, 3 bands, top-left (10, 900),
// pixels 2 across and -3 down.
FAKE_API void Reset();
// The (skip+1)-th call of `op` from now answers `result` (non-zero) and
// leaves `lastError` as the platform's last error code.
FAKE_API void Fail(Op op, uint32_t lastError = 0, int skip = 0, int32_t result = 1);
FAKE_API void SetInfo(uint32_t width, uint32_t height, uint16_t bands, double cellX = 1.0,
             double cellY = -1.0, double originX = 0.0, double originY = 0.0);
// True while a failure scripted for `op` has not been answered yet.
FAKE_API bool Armed(Op op);
// Set-view refuses windows wider than `width` pixels, as a library that
// cannot serve them would (0, the default: no limit).
FAKE_API void LimitWindowWidth(int32_t width);

FAKE_API const std::vector<Call> &Calls();
FAKE_API std::vector<Call> CallsOf(Op op);
FAKE_API int OpenViews();     // opened minus closed
FAKE_API int Misuses();       // calls through a handle that is not open, double closes
FAKE_API void ClearCalls();

// The byte the fake delivers for a view row, column and channel (0 R, 1 G, 2 B).
FAKE_API uint8_t Pixel(int row, int column, int channel);

}  // namespace fake

#endif
