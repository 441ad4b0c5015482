// The GDAL-backed library's five operations over mutated small images held in
// memory (/vsimem/): GeoTIFF striped, tiled, 16-bit, float, JPEG, RGBA,
// paletted, masked; PNG; JPEG 2000. Any view of them, set once or twice,
// read in part or whole, with or without the user's stretch setting. Each
// answer is checked against what the operation promises; a crash, a
// sanitizer's report, a hang or a broken promise is a finding.
//
// A JPEG 2000 image is opened and described but not viewed: Debian's
// OpenJPEG decoder crashes on some damaged codestreams, and believes tile
// sizes no file of this size could hold, inside GDAL, below anything the
// library sees (the README's limits say so).
//
// Input: 16 bytes of view parameters (see View), then the image's bytes.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cpl_conv.h"
#include "cpl_vsi.h"
#include "gdal.h"
#include "ecw/ncsecwex.h"
#include "fuzz_support.h"
#include "reason.h"

using fuzz::Check;

namespace {

constexpr size_t kParameters = 16;
constexpr char kFolder[] = "/vsimem/fuzz";
constexpr char kName[] = "/vsimem/fuzz/image";
// Windows are kept small enough that a run makes thousands of views.
constexpr int kMaxWindowPixels = 128 * 1024;
constexpr int kMaxWindowSide = 2048;

// The stretch settings an input may turn on: none, a range, an inverted
// one, and one that is no range (a wide image's view must then fail).
const char *const kScales[] = {nullptr, "0 1000", "60000 -5", "not a range"};

struct Set {
  std::vector<uint32_t> bands;
  int32_t left, top, right, bottom, width, height;
  int lines;  // how many lines to read; all of them, or fewer
};

// A coordinate along `size` pixels: mostly a share of it, sometimes just
// outside it, or any value.
int32_t Along(fuzz::Input &in, uint32_t size) {
  uint8_t v = in.U8();
  if (v < 240) return (int32_t)((uint64_t)v * (size - 1) / 239);
  if (v < 250) return v - 245 + (v & 1 ? (int32_t)size : 0);
  return (int32_t)in.U32();
}

// A window side for `span` source pixels: the span itself or a reduction of
// it, sometimes nothing or more than asked.
int32_t Side(uint8_t v, int32_t span) {
  if (v == 0) return 0;
  if (v == 255) return span + 1;
  if (v == 254) return -1;
  int32_t s = span > 0 ? std::max<int32_t>(1, (int32_t)((int64_t)span * v / 253)) : 1;
  return std::min(s, kMaxWindowSide);
}

Set ReadSet(fuzz::Input &in, const EcwFileInfo &info) {
  Set s;
  uint8_t count = in.U8();
  size_t n = count < 200 ? 1 + count % 3 : count % 8;  // mostly 1 to 3, sometimes 0 to 7
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = in.U8();
    s.bands.push_back(b < 240 ? b % std::max<uint32_t>(1, info.bands) : b);
  }
  s.left = Along(in, info.width);
  s.top = Along(in, info.height);
  s.right = Along(in, info.width);
  s.bottom = Along(in, info.height);
  if (s.left > s.right && s.right >= 0) std::swap(s.left, s.right);
  if (s.top > s.bottom && s.bottom >= 0) std::swap(s.top, s.bottom);
  s.width = Side(in.U8(), s.right - s.left + 1);
  s.height = Side(in.U8(), s.bottom - s.top + 1);
  while ((int64_t)s.width * s.height > kMaxWindowPixels) s.height = std::max(1, s.height / 2);
  uint8_t lines = in.U8();
  s.lines = lines < 192 ? s.height : lines % 8;
  return s;
}

// Whether the library must refuse `s` before reading anything.
bool Refusable(const Set &s, const EcwFileInfo &info) {
  if (s.bands.empty() || s.width < 1 || s.height < 1 || s.left < 0 || s.top < 0 ||
      s.left > s.right || s.top > s.bottom || (uint32_t)s.right >= info.width ||
      (uint32_t)s.bottom >= info.height)
    return true;
  for (uint32_t b : s.bands)
    if (b >= info.bands) return true;
  return false;
}

// Sets a view and reads its lines as the handler does, checking each answer.
void View(EcwView *view, const EcwFileInfo &info, const Set &s) {
  std::vector<uint32_t> bands = s.bands;
  errno = 0;
  int32_t set = NCScbmSetFileView(view, (uint32_t)bands.size(), bands.data(), s.left, s.top,
                                  s.right, s.bottom, s.width, s.height);
  if (set != 0) {
    Check(errno != 0, "a refused view leaves an error code");
    Check(strlen(NCSecwexLastReason()) < 1 << 20, "a reason");
    if (Refusable(s, info)) Check(errno == EINVAL, "a view outside the image is refused as such");
    return;
  }
  Check(!Refusable(s, info), "a view outside the image, or of no bands, is refused");
  // Exactly one line's bytes: anything written past them is the sanitizer's.
  std::unique_ptr<uint8_t[]> line(new uint8_t[(size_t)s.width * 3]);
  bool failed = false;
  for (int y = 0; y < s.lines; ++y) {
    errno = 0;
    int32_t read = NCScbmReadViewLineRGB(view, line.get());
    if (read != 0) {
      Check(errno != 0, "a line that failed leaves an error code");
      failed = true;
    } else {
      Check(!failed, "no line is delivered after one failed");
    }
  }
  if (s.lines == s.height)
    Check(NCScbmReadViewLineRGB(view, line.get()) != 0, "no line past the last");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // GDAL's messages stay quiet, and an address a mutated file names (a WMS
  // description, a VRT's /vsicurl/ source) is refused at once rather than
  // asked for: every request goes to a proxy on the discard port.
  CPLSetConfigOption("CPL_DEBUG", "OFF");
  CPLSetConfigOption("GDAL_HTTP_PROXY", "127.0.0.1:9");
  CPLSetConfigOption("GDAL_HTTP_TIMEOUT", "1");
  CPLPushErrorHandler(CPLQuietErrorHandler);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kParameters) return 0;
  fuzz::Input in(data, kParameters);
  uint8_t flags = in.U8();
  CPLSetConfigOption("NCSECWEX_SCALE", kScales[flags & 3]);
  // The image, read in place: GDAL opens it read-only.
  VSIFCloseL(VSIFileFromMemBuffer(kName, const_cast<GByte *>(data + kParameters),
                                  size - kParameters, FALSE));

  EcwView *view = nullptr;
  errno = 0;
  if (NCScbmOpenFileView(kName, &view, nullptr) != 0) {
    Check(errno != 0, "a failed open leaves an error code");
    Check(view == nullptr, "a failed open hands out no view");
    NCSecwexLastReason();
  } else {
    Check(view != nullptr, "an open hands out a view");
    EcwFileInfo *info = nullptr;
    Check(NCScbmGetViewFileInfo(view, &info) == 0 && info != nullptr, "file information");
    Check(info->width > 0 && info->height > 0 && info->bands > 0, "an image of some size");
    GDALDriverH driver = GDALIdentifyDriver(kName, nullptr);
    bool viewed = driver == nullptr || strncmp(GDALGetDriverShortName(driver), "JP2", 3) != 0;
    if (viewed) View(view, *info, ReadSet(in, *info));
    if (viewed && (flags & 4)) {
      // Set again, on the same view, before or after its last line.
      fuzz::Input again(data + 8, kParameters - 8);
      View(view, *info, ReadSet(again, *info));
    }
    Check(NCScbmCloseFileView(view) == 0, "a view closes");
  }
  VSIRmdirRecursive(kFolder);  // the image and whatever GDAL wrote beside it
  CPLSetConfigOption("NCSECWEX_SCALE", nullptr);
  return 0;
}
