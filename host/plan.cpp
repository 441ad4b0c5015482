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
  // The part of the window inside the image.
  const int64_t il = std::max<int64_t>(s.left, 0), it = std::max<int64_t>(s.top, 0);
  const int64_t ir = std::min<int64_t>(s.right, imageWidth),
                ib = std::min<int64_t>(s.bottom, imageHeight);
  const bool inside = il == s.left && it == s.top && ir == s.right && ib == s.bottom;
  const bool none = il >= ir || it >= ib;
  std::string what = s.option;
  if (s.kind == SourceChoice::World)
    what += " covers pixels " + std::to_string(s.left) + "," + std::to_string(s.top) + "," +
            std::to_string(s.right) + "," + std::to_string(s.bottom) + " (L,T,R,B), which";
  std::string extent;
  if (gt)
    extent = ", from (" + ShortNumber((*gt)[0]) + ", " + ShortNumber((*gt)[3]) + ") to (" +
             ShortNumber((*gt)[0] + imageWidth * (*gt)[1] + imageHeight * (*gt)[2]) + ", " +
             ShortNumber((*gt)[3] + imageWidth * (*gt)[4] + imageHeight * (*gt)[5]) + ")";
  const std::string image = "the image, which is " + Size(imageWidth, imageHeight) + " pixels" + extent;
  if (none && s.fillOutside) throw Usage{what + " lies wholly outside " + image};
  if (!inside && !s.fillOutside) throw Usage{what + " reaches outside " + image};
  if (s.right - s.left > INT32_MAX || s.bottom - s.top > INT32_MAX)
    throw Usage{s.option + " asks for too many pixels"};

  Plan plan;
  if (!inside) plan.outside = what + " reaches outside " + image;
  // The output's size, as if the whole window were the image's.
  const int64_t sw = s.right - s.left, sh = s.bottom - s.top;
  int64_t askedW = sw, askedH = sh, destW = sw, destH = sh;
  double scale = 1.0;
  if (size.kind == SizeChoice::Scale) {
    auto scaled = [&](int64_t n) {
      return (int64_t)std::max(1.0, std::min((double)INT32_MAX, round((double)n * size.scale)));
    };
    destW = askedW = scaled(sw);
    destH = askedH = scaled(sh);
    scale = size.scale;
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
    destW = askedW = (int64_t)w;
    destH = askedH = (int64_t)h;
    // The module delivers the source's size at scale 1.0 exactly.
    scale = askedW == sw && askedH == sh ? 1.0
            : askedW != sw               ? (double)askedW / sw
                                         : (double)askedH / sh;
  }
  // The module's window: the source at scale 1.0, else no larger than the
  // destination or the source.
  plan.width = (int32_t)(scale == 1.0 ? sw : std::min(destW, sw));
  plan.height = (int32_t)(scale == 1.0 ? sh : std::min(destH, sh));
  if (plan.width < askedW || plan.height < askedH)
    plan.note = "the module never enlarges, so the output is " + Size(plan.width, plan.height) +
                " pixels, not the " + Size(askedW, askedH) + " asked for";
  plan.left = (double)s.left;
  plan.top = (double)s.top;
  plan.fx = (double)plan.width / sw;
  plan.fy = (double)plan.height / sh;

  ViewRequest &r = plan.request;
  r.source = RhlRect{(int32_t)il, (int32_t)it, (int32_t)ir, (int32_t)ib};
  if (inside) {
    r.destination = {0, 0, (int32_t)destW, (int32_t)destH};
    r.scale = scale;
    plan.view = Inset{0, 0, plan.width, plan.height};
  } else {
    // The inside part's place in the output, in whole output pixels.
    auto span = [](int64_t from, int64_t to, int64_t origin, double f, int32_t limit,
                   int64_t most, int *at, int *length) {
      int64_t a = (int64_t)floor((double)(from - origin) * f + 0.5);
      int64_t b = (int64_t)floor((double)(to - origin) * f + 0.5);
      int64_t n = std::max<int64_t>(1, std::min<int64_t>(b - a, most));
      a = std::max<int64_t>(0, std::min<int64_t>(a, limit - n));
      *at = (int)a;
      *length = (int)n;
    };
    span(il, ir, s.left, plan.fx, plan.width, ir - il, &plan.view.left, &plan.view.width);
    span(it, ib, s.top, plan.fy, plan.height, ib - it, &plan.view.top, &plan.view.height);
    r.destination = {0, 0, plan.view.width, plan.view.height};
    r.scale = plan.view.width == ir - il && plan.view.height == ib - it
                  ? 1.0
                  : (double)plan.view.width / (double)(ir - il);
  }
  if (gt) {
    const std::array<double, 6> &g = *gt;
    double fx = (double)sw / plan.width, fy = (double)sh / plan.height;
    plan.geo = std::array<double, 6>{g[0] + plan.left * g[1] + plan.top * g[2],
                                     g[1] * fx,
                                     g[2] * fy,
                                     g[3] + plan.left * g[4] + plan.top * g[5],
                                     g[4] * fx,
                                     g[5] * fy};
  }
  return plan;
}

}  // namespace rhl
