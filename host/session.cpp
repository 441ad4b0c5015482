#include "session.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

namespace rhl {

namespace {
// The record is the host's: zero-filled, with room beyond the handler's part.
constexpr size_t kRecordBytes = 1024;
}  // namespace

void WindowSize(const ViewRequest &r, int32_t *width, int32_t *height) {
  *width = r.source.right - r.source.left;
  *height = r.source.bottom - r.source.top;
  if (r.scale != 1.0) {
    *width = std::min(r.destination.right - r.destination.left, *width);
    *height = std::min(r.destination.bottom - r.destination.top, *height);
  }
}

ViewRequest ScaledView(const RhlRect &source, double scale) {
  ViewRequest request;
  request.source = source;
  request.scale = scale;
  // At least one pixel, and no more than a rectangle holds (the module
  // delivers no more than the source anyway).
  auto scaled = [scale](int32_t n) {
    return (int32_t)std::max(1.0, std::min((double)INT32_MAX, round(n * scale)));
  };
  request.destination = {0, 0, scaled(source.right - source.left),
                         scaled(source.bottom - source.top)};
  return request;
}

ViewRequest SizedView(const RhlRect &source, int32_t width, int32_t height) {
  ViewRequest request;
  request.source = source;
  request.destination = {0, 0, width, height};
  const int32_t sw = source.right - source.left, sh = source.bottom - source.top;
  request.scale = width == sw && height == sh ? 1.0
                  : width != sw              ? (double)width / sw
                                             : (double)height / sh;
  return request;
}

std::array<double, 6> GeoTransformOf(const RegistrationBlock &block) {
  // Points: top-left at (0, 0), bottom-right at (w, h), top-right at (w, 0).
  ControlPoint tl = block.points[0], br = block.points[1], tr = block.points[2];
  double w = tr.pixelX - tl.pixelX, h = br.pixelY - tr.pixelY;
  std::array<double, 6> gt{};
  gt[0] = tl.worldX;
  gt[1] = w != 0 ? (tr.worldX - tl.worldX) / w : 0;
  gt[2] = h != 0 ? (br.worldX - tr.worldX) / h : 0;
  gt[3] = tl.worldY;
  gt[4] = w != 0 ? (tr.worldY - tl.worldY) / w : 0;
  gt[5] = h != 0 ? (br.worldY - tr.worldY) / h : 0;
  return gt;
}

Session::Session() : raster_(static_cast<Raster *>(calloc(1, kRecordBytes))) {}

Session::~Session() {
  if (viewOpen_) EndView();
  if (raster_ != nullptr && module_.Close() != nullptr) module_.Close()(raster_);
  free(raster_);
}

bool Session::Load(const std::string &modulePath, std::string *error) {
  if (raster_ == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (!module_.Load(modulePath, error)) return false;
  if (!module_.missing().empty()) {
    *error = modulePath + " lacks the entry " + module_.missing().front();
    return false;
  }
  module_.GetInfo()(&descriptor_);
  return true;
}

bool Session::ServesExtension(const std::string &extension) const {
  for (int i = 0; i < descriptor_.extensionCount && i < 4; ++i) {
    const char *listed = descriptor_.extensions[i];
    std::string text(listed, strnlen(listed, sizeof descriptor_.extensions[i]));
    if (strcasecmp(text.c_str(), extension.c_str()) == 0) return true;
  }
  return false;
}

bool Session::Serves(const std::string &name) const {
  size_t dot = name.rfind('.'), slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return ServesExtension(name.substr(dot + 1));
}

bool Session::Probe(const std::string &name) {
  module_.TakeLibraryReason();
  return module_.Probe()(name.c_str()) == 1;
}

bool Session::Open(const std::string &name) {
  return module_.Open()(raster_, name.c_str(), 0) == 1;
}

bool Session::ProbeAndOpen(const std::string &name, std::string *error) {
  if (!Serves(name)) {
    *error = "the module does not serve '" + name + "'";
    return false;
  }
  if (!Probe(name)) {
    *error = "could not open '" + name + "'";
  } else if (Open(name)) {
    return true;
  } else {
    *error = "could not open '" + name + "' (error code " +
             std::to_string(module_.GetLastError()(raster_)) + ")";
  }
  AddLibraryReason(error);
  return false;
}

void Session::AddLibraryReason(std::string *error) const {
  std::string reason = LibraryReason();
  if (!reason.empty()) *error += ": " + reason;
}

bool Session::BeginView(const ViewRequest &request, int32_t *lineWidth) {
  if (viewOpen_) EndView();
  module_.TakeLibraryReason();
  viewOpen_ = module_.BeginView()(raster_, &request.destination, &request.source, request.scale,
                                  lineWidth) == 1;
  return viewOpen_;
}

const uint8_t *Session::ReadLine(int32_t index) {
  uint8_t *line = nullptr;
  uint16_t flag = 0;
  if (module_.ReadLine()(raster_, index, &line, &flag) != 1) return nullptr;
  return line;
}

void Session::EndView() {
  module_.EndView()(raster_);
  viewOpen_ = false;
}

}  // namespace rhl
