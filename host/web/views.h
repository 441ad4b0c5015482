// Views for rhl serve: one view through the module of one of the images
// served, its lines copied out. The services ask for views and never touch a
// module; where the module runs (under a lock in this process, or in worker
// processes of their own) is the view service's concern alone.
#ifndef RHL_HOST_WEB_VIEWS_H
#define RHL_HOST_WEB_VIEWS_H

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session.h"

namespace rhl {
namespace web {

struct ViewPixels {
  enum Status { kMade, kFailed, kTimedOut } status = kFailed;
  int32_t width = 0, height = 0;  // the window the module delivered
  std::vector<uint8_t> rgb;       // width x height pixels, 3 bytes each, lines packed
  std::string error;              // why the view failed, with the library's reason
  double viewMs = 0;              // HandlerBeginView to HandlerEndView
};

class ViewService {
 public:
  virtual ~ViewService() = default;
  // One view of image `image` (its index among the files served): begin,
  // every line, end. Safe to call from several threads at once.
  virtual ViewPixels View(size_t image, const ViewRequest &request) = 0;
};

// The module in this process: one session per image, every entry behind one
// lock, as the module's entries are not re-entrant.
class LocalViews : public ViewService {
 public:
  // `sessions[i]` has image i open; they stay the caller's.
  explicit LocalViews(std::vector<Session *> sessions) : sessions_(std::move(sessions)) {}
  ViewPixels View(size_t image, const ViewRequest &request) override;

 private:
  std::vector<Session *> sessions_;
  std::mutex entries_;  // held around every module entry
};

// One view through `session`, its lines copied into *pixels; the caller
// holds whatever lock the module needs.
ViewPixels ReadView(Session &session, const ViewRequest &request);

}  // namespace web
}  // namespace rhl

#endif
