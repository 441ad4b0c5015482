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
  // A window partly outside the image is written whole, the part outside
  // filled (as gdal_translate's -srcwin and -projwin); else refused.
  bool fillOutside = false;
};

// Where the module's window lies in the output, in output pixels.
struct Inset {
  int left = 0, top = 0, width = 0, height = 0;
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
  int32_t width = 0, height = 0;               // the output's size
  Inset view;                                  // the window the module delivers, in the output
  std::optional<std::array<double, 6>> geo;    // none for an image that is not georeferenced
  // Image pixel (x, y) is output pixel ((x - left) * fx, (y - top) * fy).
  double left = 0, top = 0, fx = 1, fy = 1;
  std::string note;     // why the output is smaller than asked, if it is
  std::string outside;  // how the window reaches outside the image, if it does
};

// The view of an image of `imageWidth` x `imageHeight` pixels, placed in the
// world by `gt` (none when not georeferenced). A source wholly outside the
// image, one partly outside that may not be filled, or a world window on an
// image without georeferencing, is refused with Usage.
Plan PlanView(int32_t imageWidth, int32_t imageHeight,
              const std::optional<std::array<double, 6>> &gt, const SourceChoice &source,
              const SizeChoice &size);

}  // namespace rhl

#endif
