#include "plan.h"

#include <limits.h>
#include <math.h>

#include <algorithm>

#include "cli.h"

namespace rhl {
namespace {

std::string Size(int64_t width, int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

// A world window in pixels, rounded as gdal_translate rounds -projwin for
// nearest-neighbour reads.
void PixelsOfWorld(const std::array<double, 6> &gt, SourceChoice *s) {
  if (gt[2] != 0 || gt[4] != 0)
    throw Usage{"--projwin needs a north-up image; this one's geotransform is rotated"};
  double x0 = (s->ulx - gt[0]) / gt[1], y0 = (s->uly - gt[3]) / gt[5];
  double x1 = (s->lrx - gt[0]) / gt[1], y1 = (s->lry - gt[3]) / gt[5];
  double left = floor(x0 + 0.001), top = floor(y0 + 0.001);
  double width = floor(x1 - x0 + 0.5), height = floor(y1 - y0 + 0.5);
  if (!(width >= 1 && height >= 1))
    throw Usage{s->option + " is an empty window: give the upper-left corner, then the "
                            "lower-right, in the image's CRS"};
  // Far outside: kept within range, and still outside.
  const double limit = 4e18;
  auto clamp = [limit](double v) { return (int64_t)std::max(-limit, std::min(limit, v)); };
  s->left = clamp(left);
  s->top = clamp(top);
  s->right = clamp(left + width);
  s->bottom = clamp(top + height);
}

}  // namespace

Plan PlanView(int32_t imageWidth, int32_t imageHeight,
              const std::optional<std::array<double, 6>> &gt, const SourceChoice &sourceChoice,
              const SizeChoice &size) {
  SourceChoice s = sourceChoice;
  if (s.kind == SourceChoice::Whole) {
    s.left = s.top = 0;
    s.right = imageWidth;
    s.bottom = imageHeight;
  } else if (s.kind == SourceChoice::World) {
    if (!gt) throw Usage{"--projwin needs a georeferenced image, and this one is not"};
    PixelsOfWorld(*gt, &s);
  }
  if (s.left < 0 || s.top < 0 || s.right > imageWidth || s.bottom > imageHeight ||
      s.left >= s.right || s.top >= s.bottom) {
    std::string what = s.option;
    if (s.kind == SourceChoice::World)
      what += " covers pixels " + std::to_string(s.left) + "," + std::to_string(s.top) + "," +
              std::to_string(s.right) + "," + std::to_string(s.bottom) + " (L,T,R,B), which";
    std::string extent;
    if (gt)
      extent = ", from (" + ShortNumber((*gt)[0]) + ", " + ShortNumber((*gt)[3]) + ") to (" +
               ShortNumber((*gt)[0] + imageWidth * (*gt)[1] + imageHeight * (*gt)[2]) + ", " +
               ShortNumber((*gt)[3] + imageWidth * (*gt)[4] + imageHeight * (*gt)[5]) + ")";
    throw Usage{what + " reaches outside the image, which is " + Size(imageWidth, imageHeight) +
                " pixels" + extent};
  }

  Plan plan;
  ViewRequest &r = plan.request;
  r.source = RhlRect{(int32_t)s.left, (int32_t)s.top, (int32_t)s.right, (int32_t)s.bottom};
  const int32_t sw = r.source.right - r.source.left, sh = r.source.bottom - r.source.top;
  int64_t askedW = sw, askedH = sh;
  if (size.kind == SizeChoice::Scale) {
    auto scaled = [&](int32_t n) {
      return (int32_t)std::max(1.0, std::min((double)INT32_MAX, round(n * size.scale)));
    };
    r.destination = {0, 0, scaled(sw), scaled(sh)};
    r.scale = size.scale;
    askedW = r.destination.right;
    askedH = r.destination.bottom;
  } else if (size.kind == SizeChoice::Pixels) {
    double w = size.widthPercent ? floor(size.width / 100 * sw) : size.width;
    double h = size.heightPercent ? floor(size.height / 100 * sh) : size.height;
    if (w == 0 && h == 0) {
      if (size.width == 0 && size.height == 0)
        throw Usage{size.option + ": the width and the height cannot both be 0"};
      throw Usage{size.option + " gives no pixels of a " + Size(sw, sh) + " source"};
    }
    // 0 keeps the source's aspect, as gdal_translate's -outsize W 0 does.
    if (w == 0) w = std::max(1.0, floor(h * sw / sh + 0.5));
    if (h == 0) h = std::max(1.0, floor(w * sh / sw + 0.5));
    if (w > INT32_MAX || h > INT32_MAX) throw Usage{size.option + " asks for too many pixels"};
    askedW = (int64_t)w;
    askedH = (int64_t)h;
    r = SizedView(r.source, (int32_t)askedW, (int32_t)askedH);
  } else {
    r.destination = {0, 0, sw, sh};
    r.scale = 1.0;
  }
  WindowSize(r, &plan.width, &plan.height);
  if (plan.width < askedW || plan.height < askedH)
    plan.note = "the module never enlarges, so the output is " + Size(plan.width, plan.height) +
                " pixels, not the " + Size(askedW, askedH) + " asked for";
  if (gt) {
    const std::array<double, 6> &g = *gt;
    double fx = (double)sw / plan.width, fy = (double)sh / plan.height;
    plan.geo = std::array<double, 6>{g[0] + r.source.left * g[1] + r.source.top * g[2],
                                     g[1] * fx,
                                     g[2] * fy,
                                     g[3] + r.source.left * g[4] + r.source.top * g[5],
                                     g[4] * fx,
                                     g[5] * fy};
  }
  return plan;
}

}  // namespace rhl
