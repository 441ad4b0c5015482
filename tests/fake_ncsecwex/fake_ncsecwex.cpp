#include "fake_ncsecwex.h"

#include <errno.h>
#include <string.h>

#include <map>
#include <set>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fake {
namespace {

struct Script {
  bool armed = false;
  int skip = 0;
  int32_t result = 1;
  uint32_t lastError = 0;
};

struct ViewData {
  EcwFileInfo info;
  bool set = false;
  int32_t width = 0, height = 0, nextLine = 0;
};

std::map<Op, Script> gScripts;
std::vector<Call> gCalls;
std::map<EcwView *, ViewData> gViews;
EcwFileInfo gInfo;
uintptr_t gNextHandle = 0x1000;
int gOpened = 0, gClosed = 0, gMisuses = 0;
int32_t gWindowLimit = 0;

void SetLastErrorCode(uint32_t code) {
#if defined(_WIN32)
  SetLastError(code);
#else
  errno = (int)code;
#endif
}

// The scripted result for this call of `op`: 0, or the failure to answer.
int32_t Scripted(Op op) {
  Script &s = gScripts[op];
  if (!s.armed) return 0;
  if (s.skip > 0) {
    --s.skip;
    return 0;
  }
  s.armed = false;
  SetLastErrorCode(s.lastError);
  return s.result;
}

ViewData *Find(EcwView *view) {
  auto it = gViews.find(view);
  if (it == gViews.end()) {
    ++gMisuses;
    return nullptr;
  }
  return &it->second;
}

int32_t Log(Call call, int32_t result) {
  call.result = result;
  gCalls.push_back(call);
  return result;
}

}  // namespace

void Reset() {
  gScripts.clear();
  gCalls.clear();
  gViews.clear();
  gOpened = gClosed = gMisuses = 0;
  gWindowLimit = 0;
  SetInfo(100, 50, 3, 2.0, -3.0, 10.0, 900.0);
}

void Fail(Op op, uint32_t lastError, int skip, int32_t result) {
  gScripts[op] = Script{true, skip, result, lastError};
}

void SetInfo(uint32_t width, uint32_t height, uint16_t bands, double cellX, double cellY,
             double originX, double originY) {
  memset(&gInfo, 0, sizeof gInfo);
  gInfo.width = width;
  gInfo.height = height;
  gInfo.bands = bands;
  gInfo.cellSizeX = cellX;
  gInfo.cellSizeY = cellY;
  gInfo.originX = originX;
  gInfo.originY = originY;
}

bool Armed(Op op) {
  auto it = gScripts.find(op);
  return it != gScripts.end() && it->second.armed;
}

void LimitWindowWidth(int32_t width) { gWindowLimit = width; }

const std::vector<Call> &Calls() { return gCalls; }

std::vector<Call> CallsOf(Op op) {
  std::vector<Call> out;
  for (const Call &c : gCalls)
    if (c.op == op) out.push_back(c);
  return out;
}

int OpenViews() { return gOpened - gClosed; }
int Misuses() { return gMisuses; }
void ClearCalls() { gCalls.clear(); }

uint8_t Pixel(int row, int column, int channel) {
  return (uint8_t)(row * 31 + column * 7 + channel * 101 + 1);
}

}  // namespace fake

using namespace fake;

extern "C" {

int32_t NCS_CALL NCScbmOpenFileView(const char *name, EcwView **pView, void *pReserved) {
  Call call(Op::Open);
  call.name = name ? name : "";
  if (int32_t failure = Scripted(Op::Open)) {
    *pView = reinterpret_cast<EcwView *>(uintptr_t{0xBAD0});  // junk the caller must not trust
    return Log(call, failure);
  }
  if (pReserved != nullptr) ++gMisuses;
  EcwView *view = reinterpret_cast<EcwView *>(gNextHandle);
  gNextHandle += 0x10;
  gViews[view].info = gInfo;
  ++gOpened;
  *pView = view;
  call.view = view;
  return Log(call, 0);
}

int32_t NCS_CALL NCScbmGetViewFileInfo(EcwView *view, EcwFileInfo **pInfo) {
  Call call(Op::GetInfo);
  call.view = view;
  ViewData *data = Find(view);
  if (data == nullptr) return Log(call, 1);
  if (int32_t failure = Scripted(Op::GetInfo)) return Log(call, failure);
  *pInfo = &data->info;
  return Log(call, 0);
}

int32_t NCS_CALL NCScbmSetFileView(EcwView *view, uint32_t bandCount, uint32_t *pBandList,
                                   int32_t left, int32_t top, int32_t right, int32_t bottom,
                                   int32_t windowWidth, int32_t windowHeight) {
  Call call(Op::SetView);
  call.view = view;
  call.bands.assign(pBandList, pBandList + bandCount);
  call.left = left;
  call.top = top;
  call.right = right;
  call.bottom = bottom;
  call.width = windowWidth;
  call.height = windowHeight;
  ViewData *data = Find(view);
  if (data == nullptr) return Log(call, 1);
  if (int32_t failure = Scripted(Op::SetView)) return Log(call, failure);
  if (gWindowLimit > 0 && windowWidth > gWindowLimit) return Log(call, 1);
  data->set = true;
  data->width = windowWidth;
  data->height = windowHeight;
  data->nextLine = 0;
  return Log(call, 0);
}

int32_t NCS_CALL NCScbmReadViewLineRGB(EcwView *view, uint8_t *line) {
  Call call(Op::ReadLine);
  call.view = view;
  ViewData *data = Find(view);
  if (data == nullptr) return Log(call, 1);
  if (int32_t failure = Scripted(Op::ReadLine)) return Log(call, failure);
  if (!data->set || data->nextLine >= data->height) return Log(call, 1);
  int row = data->nextLine++;
  call.top = row;
  for (int c = 0; c < data->width; ++c)
    for (int k = 0; k < 3; ++k) line[3 * c + k] = Pixel(row, c, k);
  return Log(call, 0);
}

int32_t NCS_CALL NCScbmCloseFileView(EcwView *view) {
  Call call(Op::Close);
  call.view = view;
  if (Find(view) == nullptr) return Log(call, 1);
  int32_t failure = Scripted(Op::Close);
  gViews.erase(view);  // a close releases the view whatever it answers
  ++gClosed;
  return Log(call, failure);
}

}  // extern "C"
