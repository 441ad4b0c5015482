// The five operations of the ECW library `ncsecwex` that the handler calls,
// and the part of the library's file-information record that it reads.
#ifndef RHL_NCSECWEX_H
#define RHL_NCSECWEX_H

#include <stddef.h>
#include <stdint.h>

// Calling convention of the library's operations, in one place.
#if defined(_WIN32)
#define NCS_CALL __cdecl
#else
#define NCS_CALL
#endif

// Symbols the library itself defines are exported from it.
#if defined(NCSECWEX_BUILDING)
#if defined(_WIN32)
#define NCS_API __declspec(dllexport)
#else
#define NCS_API __attribute__((visibility("default")))
#endif
#else
#define NCS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// An open view of one image; opaque to the handler.
typedef struct EcwView EcwView;

// The library's file-information record (it may be longer; the handler reads
// only these fields).
typedef struct EcwFileInfo {
  uint32_t width;         // 0: pixels across
  uint32_t height;        // 4: pixels down
  uint16_t bands;         // 8
  uint8_t reserved10[6];  // 10
  double cellSizeX;       // 16: world size of a pixel across
  double cellSizeY;       // 24: world size of a pixel down
  double originX;         // 32: world x of the top-left corner
  double originY;         // 40: world y of the top-left corner
} EcwFileInfo;

// Each returns 0 on success; the handler ignores the close result.
NCS_API int32_t NCS_CALL NCScbmOpenFileView(const char *name, EcwView **pView, void *pReserved);
NCS_API int32_t NCS_CALL NCScbmGetViewFileInfo(EcwView *view, EcwFileInfo **pInfo);
// Corners inclusive, in image pixels; the window is the delivered size.
NCS_API int32_t NCS_CALL NCScbmSetFileView(EcwView *view, uint32_t bandCount, uint32_t *pBandList,
                                           int32_t left, int32_t top, int32_t right,
                                           int32_t bottom, int32_t windowWidth,
                                           int32_t windowHeight);
// Fills `line` with the view's next line, 3 bytes a pixel (R, G, B).
NCS_API int32_t NCS_CALL NCScbmReadViewLineRGB(EcwView *view, uint8_t *line);
NCS_API int32_t NCS_CALL NCScbmCloseFileView(EcwView *view);

#ifdef __cplusplus
}
#endif

static_assert(offsetof(EcwFileInfo, width) == 0, "file info width");
static_assert(offsetof(EcwFileInfo, height) == 4, "file info height");
static_assert(offsetof(EcwFileInfo, bands) == 8, "file info bands");
static_assert(offsetof(EcwFileInfo, cellSizeX) == 16, "file info cell size x");
static_assert(offsetof(EcwFileInfo, cellSizeY) == 24, "file info cell size y");
static_assert(offsetof(EcwFileInfo, originX) == 32, "file info origin x");
static_assert(offsetof(EcwFileInfo, originY) == 40, "file info origin y");
static_assert(sizeof(EcwFileInfo) >= 48, "file info is at least 48 bytes");

#endif
