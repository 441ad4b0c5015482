// From render's options to one view: the source rectangle (image pixels, or
// a window in the image's CRS as gdal_translate's -projwin takes it), the
// destination the module is asked for, and where the output's pixels lie.
#ifndef RHL_HOST_PLAN_H
#define RHL_HOST_PLAN_H

#include <stdint.h>

#include <array>
#include <optional>
#include <string>

#include "session.h"

namespace rhl {

struct SourceChoice {
  enum Kind { Whole, Pixels, World } kind = Whole;
  int64_t left = 0, top = 0, right = 0, bottom = 0;  // Pixels: right, bottom exclusive
  double ulx = 0, uly = 0, lrx = 0, lry = 0;         // World
  std::string option;                                // as the user gave it, for messages
};

struct SizeChoice {
  enum Kind { Natural, Pixels, Scale } kind = Natural;
  double width = 0, height = 0;  // Pixels: 0 keeps the source's aspect
  bool widthPercent = false, heightPercent = false;
  double scale = 1.0;
  std::string option;
};

struct Plan {
  ViewRequest request;
  int32_t width = 0, height = 0;               // the window the module delivers
  std::optional<std::array<double, 6>> geo;    // none for an image that is not georeferenced
  std::string note;                            // why the output is smaller than asked, if it is
};

// The view of an image of `imageWidth` x `imageHeight` pixels, placed in the
// world by `gt` (none when not georeferenced). A source that reaches outside
// the image, or a world window on an image without georeferencing, is refused
// with Usage.
Plan PlanView(int32_t imageWidth, int32_t imageHeight,
              const std::optional<std::array<double, 6>> &gt, const SourceChoice &source,
              const SizeChoice &size);

}  // namespace rhl

#endif
