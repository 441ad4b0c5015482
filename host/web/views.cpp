#include "views.h"

#include <string.h>

#include <chrono>

namespace rhl {
namespace web {

ViewPixels ReadView(Session &session, const ViewRequest &request) {
  ViewPixels view;
  auto start = std::chrono::steady_clock::now();
  WindowSize(request, &view.width, &view.height);
  int32_t lineWidth = 0;
  if (view.width < 1 || view.height < 1) {
    view.error = "the view holds no pixels";
    return view;
  }
  if (!session.BeginView(request, &lineWidth)) {
    view.error = "the module could not set up the view";
    session.AddLibraryReason(&view.error);
    return view;
  }
  bool ok = lineWidth == view.width;
  if (!ok) view.error = "the module chose a line width of " + std::to_string(lineWidth);
  if (ok) view.rgb.resize((size_t)view.width * view.height * 3);
  for (int32_t y = 0; ok && y < view.height; ++y) {
    const uint8_t *line = session.ReadLine(y);
    if (line == nullptr) {
      view.error = "the module did not deliver line " + std::to_string(y);
      session.AddLibraryReason(&view.error);
      ok = false;
    } else {
      memcpy(view.rgb.data() + (size_t)y * view.width * 3, line, (size_t)view.width * 3);
    }
  }
  session.EndView();
  if (!ok) view.rgb.clear();
  view.status = ok ? ViewPixels::kMade : ViewPixels::kFailed;
  view.viewMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return view;
}

ViewPixels LocalViews::View(size_t image, const ViewRequest &request) {
  if (image >= sessions_.size()) {
    ViewPixels none;
    none.error = "no image " + std::to_string(image);
    return none;
  }
  std::lock_guard<std::mutex> lock(entries_);
  return ReadView(*sessions_[image], request);
}

}  // namespace web
}  // namespace rhl
