// The host interface of a raster handler module: the entry table, the handler
// descriptor, the host-owned raster record and the registration block.
//
// Both sides include this header: the module that fills the records and any
// host (rhl, tests) that owns them. The module's private view state is only
// named here; its fields live in the module.
#ifndef RHL_HOSTIF_H
#define RHL_HOSTIF_H

#include <stddef.h>
#include <stdint.h>

// Calling convention of the eight entries, in one place.
#if defined(_WIN32)
#define RHL_CALL __cdecl
#else
#define RHL_CALL
#endif

// A compile-time check that C99, C11 and C++ compilers all take; NAME says
// what failed.
#if defined(__cplusplus) && __cplusplus >= 201103L
#define RHL_LAYOUT_CHECK(condition, name) static_assert(condition, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define RHL_LAYOUT_CHECK(condition, name) _Static_assert(condition, #name)
#else
#define RHL_LAYOUT_CHECK(condition, name) \
  typedef char rhl_layout_check_##name[(condition) ? 1 : -1]
#endif

// The entry table below is constant data that a host may or may not read.
#if defined(__GNUC__)
#define RHL_MAYBE_UNUSED __attribute__((unused))
#else
#define RHL_MAYBE_UNUSED
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct ViewState;  // handler-private

#pragma pack(push, 1)

// Six doubles: world x, y, (third value); pixel column, row, (third value).
typedef struct ControlPoint {
  double worldX;
  double worldY;
  double worldZ;
  double pixelX;
  double pixelY;
  double pixelZ;
} ControlPoint;

// The georeferencing block the handler hangs on an opened raster.
typedef struct RegistrationBlock {
  uint32_t magic;          // kRegistrationMagic
  uint32_t size;           // kRegistrationSize
  uint8_t flag;            // 1
  uint32_t value;          // 1
  uint8_t reserved[132];   // zero
  uint32_t pointCount;     // 3
  ControlPoint points[3];  // top-left, bottom-right, top-right
} RegistrationBlock;

// What the handler tells the host about itself.
typedef struct HandlerDescriptor {
  uint16_t leadingWord;     // 1
  char name[512];           // "ECW.RHL"
  char description[512];    // "Native ECW Handler"
  uint16_t extensionCount;  // 2
  char extensions[4][10];   // lower case, no dot, NUL-padded
} HandlerDescriptor;

#pragma pack(pop)

enum {
  kRegistrationMagic = 0xDCBA,
  kRegistrationSize = 293,
  kDescriptorSize = 1068,
  kRasterNameSize = 512
};

// The host-owned raster record. Bytes the handler does not use belong to the
// host and are declared as reserved fields, so that with 4-byte pointers the
// offsets are the 32-bit interface's and with 8-byte pointers the same
// declaration gives the 64-bit layout under natural alignment.
typedef struct Raster {
  uint32_t hostReserved0;              // 0
  uint32_t clearedWord;                // 4: the handler clears it on open
  char name[kRasterNameSize];          // 8: resolved image name
  int32_t width;                       // 520
  int32_t height;                      // 524
  uint32_t hostReserved528;            // 528
  uint32_t valueThree;                 // 532: 3
  uint32_t hostReserved536[2];         // 536
  RegistrationBlock *registration;     // 544
  uint32_t errorCode;                  // 548 (552 with 8-byte pointers)
  uint32_t hostReserved552;            // 552 (556)
  struct ViewState *viewState;         // 556 (560)
} Raster;

// Error codes the entries leave in the record.
enum {
  kErrorNone = 0,
  kErrorNoViewState = 4,
  kErrorCannotOpen = 5
};

// Host rectangle: right and bottom are exclusive.
typedef struct RhlRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
} RhlRect;

typedef int32_t(RHL_CALL *HandlerGetInfoFn)(HandlerDescriptor *pDescriptor);
typedef int32_t(RHL_CALL *HandlerProbeFn)(const char *name);
typedef int32_t(RHL_CALL *HandlerOpenFn)(Raster *pRaster, const char *name, int32_t ignored);
typedef int32_t(RHL_CALL *HandlerBeginViewFn)(Raster *pRaster, const RhlRect *pDestination,
                                              const RhlRect *pSource, double scale,
                                              int32_t *pLineWidth);
typedef int32_t(RHL_CALL *HandlerReadLineFn)(Raster *pRaster, int32_t lineIndex,
                                             uint8_t **pLineAddress, uint16_t *pFlag);
typedef int32_t(RHL_CALL *HandlerEndViewFn)(Raster *pRaster);
typedef int32_t(RHL_CALL *HandlerCloseFn)(Raster *pRaster);
typedef uint32_t(RHL_CALL *HandlerGetLastErrorFn)(Raster *pRaster);

// The entry table: ordinal and, where a platform exports by name, the name.
typedef struct HandlerEntry {
  int ordinal;
  const char *name;
} HandlerEntry;

enum { kEntryCount = 8, kFirstOrdinal = 101 };

static const HandlerEntry kHandlerEntries[kEntryCount] RHL_MAYBE_UNUSED = {
    {101, "HandlerGetInfo"},   {102, "HandlerProbe"},   {103, "HandlerOpen"},
    {104, "HandlerBeginView"}, {105, "HandlerReadLine"}, {106, "HandlerEndView"},
    {107, "HandlerClose"},     {108, "HandlerGetLastError"},
};

#ifdef __cplusplus
}
#endif

// The layouts the host relies on.
RHL_LAYOUT_CHECK(sizeof(ControlPoint) == 48, control_point_is_six_doubles);
RHL_LAYOUT_CHECK(sizeof(RegistrationBlock) == 293, registration_block_is_293_packed_bytes);
RHL_LAYOUT_CHECK(offsetof(RegistrationBlock, flag) == 8, registration_flag);
RHL_LAYOUT_CHECK(offsetof(RegistrationBlock, value) == 9, registration_value);
RHL_LAYOUT_CHECK(offsetof(RegistrationBlock, pointCount) == 145, registration_point_count);
RHL_LAYOUT_CHECK(offsetof(RegistrationBlock, points) == 149, registration_points);
RHL_LAYOUT_CHECK(sizeof(HandlerDescriptor) == 1068, descriptor_is_1068_bytes);
RHL_LAYOUT_CHECK(offsetof(HandlerDescriptor, description) == 514, descriptor_description);
RHL_LAYOUT_CHECK(offsetof(HandlerDescriptor, extensionCount) == 1026, descriptor_count);
RHL_LAYOUT_CHECK(offsetof(HandlerDescriptor, extensions) == 1028, descriptor_extensions);
RHL_LAYOUT_CHECK(offsetof(Raster, clearedWord) == 4, raster_cleared_word);
RHL_LAYOUT_CHECK(offsetof(Raster, name) == 8, raster_name);
RHL_LAYOUT_CHECK(offsetof(Raster, width) == 520, raster_width);
RHL_LAYOUT_CHECK(offsetof(Raster, height) == 524, raster_height);
RHL_LAYOUT_CHECK(offsetof(Raster, valueThree) == 532, raster_value_3);
RHL_LAYOUT_CHECK(offsetof(Raster, registration) == 544, raster_registration_block);
#if UINTPTR_MAX == 0xFFFFFFFFu
RHL_LAYOUT_CHECK(offsetof(Raster, errorCode) == 548, raster_error_code_32_bit);
RHL_LAYOUT_CHECK(offsetof(Raster, viewState) == 556, raster_view_state_32_bit);
RHL_LAYOUT_CHECK(sizeof(Raster) == 560, raster_record_32_bit);
#else
RHL_LAYOUT_CHECK(offsetof(Raster, errorCode) == 552, raster_error_code_64_bit);
RHL_LAYOUT_CHECK(offsetof(Raster, viewState) == 560, raster_view_state_64_bit);
RHL_LAYOUT_CHECK(sizeof(Raster) == 568, raster_record_64_bit);
#endif

#endif
