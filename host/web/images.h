// The images rhl serve shows: one host session per file named on the command
// line, and the tiles made from them: views from the view service, encoding
// outside it.
#ifndef RHL_HOST_WEB_IMAGES_H
#define RHL_HOST_WEB_IMAGES_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "session.h"
#include "views.h"

namespace rhl {
namespace web {

struct Tile {
  enum Status { kMade, kNoSuchTile, kFailed, kTimedOut } status = kFailed;
  std::string png;
  std::string error;   // why the view failed
  double viewMs = 0;   // HandlerBeginView to HandlerEndView
  double encodeMs = 0;
};

class ImageSet {
 public:
  // Loads the module once per file and opens each; false with the reason.
  bool Open(const std::string &modulePath, const std::vector<std::string> &files,
            std::string *error);
  size_t size() const { return images_.size(); }
  // Views from `views` (which outlives this set) instead of the module
  // in this process.
  void UseViews(ViewService *views) { views_ = views; }

  // The tile at `level`, (x, y) of the image called `id` (kNoSuchTile when
  // there is no such image or tile).
  bool Has(const std::string &id) const { return Find(id) >= 0; }
  Tile Render(const std::string &id, int level, int64_t x, int64_t y);

  // What the page needs: per image its name, size, levels, tile path and
  // registration; the module's name and description.
  nlohmann::json Describe() const;

 private:
  struct Image {
    std::string id, file;
    std::unique_ptr<Session> session;
  };
  // The index of the image called `id`, or -1.
  int Find(const std::string &id) const;

  std::vector<Image> images_;
  std::unique_ptr<ViewService> local_;  // the sessions above, behind one lock
  ViewService *views_ = nullptr;
};

}  // namespace web
}  // namespace rhl

#endif
