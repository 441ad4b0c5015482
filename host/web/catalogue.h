// The layers rhl serve offers: one per image opened through the module, in
// the order of the command line, each placed in the world by its
// registration block and the CRS GDAL reads of the resolved image; and the
// mosaic, a group of every georeferenced layer in that order (the first at
// the bottom). An image without georeferencing (or without a CRS) stays a
// layer in its own pixel frame only.
#ifndef RHL_HOST_WEB_CATALOGUE_H
#define RHL_HOST_WEB_CATALOGUE_H

#include <stdint.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crs.h"
#include "session.h"
#include "source.h"
#include "views.h"
#include "watch.h"

namespace rhl {
namespace web {

// The group of every georeferenced layer; no image takes this id.
extern const char kMosaicId[];

struct Layer {
  size_t image = 0;  // its number for the view service
  std::string id;    // in paths and service requests: letters, digits, '-', '_'
  std::string file;  // as given on the command line
  std::string title;
  std::unique_ptr<Session> session;
  std::string resolved;  // the image the module opened
  int32_t width = 0, height = 0;
  SourceFacts facts;
  // Pixel corners to the world: x = gt[0] + col gt[1] + row gt[2], y likewise.
  // The module's registration where the image has no georeferencing.
  std::array<double, 6> gt{};
  int crs = -1;  // its CRS in the list; -1: its own pixel frame only
  std::string note;  // why it is in its own pixel frame only
  // Per entry of the CRS list: its extent there, none where it does not
  // transform. Filled once every layer is open.
  std::vector<std::optional<Box>> bounds;
  bool blackIsNodata = false;  // the module's black stands for nodata or transparency
  int zoom = 0;  // the Web Mercator level whose pixels are no larger than the image's
  std::unique_ptr<ImageWatch> watch;  // whether its file still has this geometry

  bool georeferenced() const { return crs >= 0; }
};

class Catalogue {
 public:
  Catalogue() = default;
  Catalogue(const Catalogue &) = delete;
  Catalogue &operator=(const Catalogue &) = delete;

  // Loads the module and opens each file as `rhl render` does (any name
  // GDAL reads). A file that does not open is left out after a warning that
  // names it and says why; false when the module does not load or no file
  // opens.
  bool Open(const std::string &modulePath, const std::vector<std::string> &files);

  const std::vector<Layer> &layers() const { return layers_; }
  const Layer &operator[](size_t i) const { return layers_[i]; }
  // The georeferenced layers, bottom first: the mosaic.
  const std::vector<size_t> &mosaic() const { return mosaic_; }
  // The layer called `id`, or -1.
  int Find(const std::string &id) const;
  // The layers a name stands for: the layer, or the mosaic's; empty when no
  // layer has that name, or (when `placedOnly`) it is not georeferenced.
  std::vector<size_t> Resolve(const std::string &name, bool placedOnly) const;
  // The mosaic's extent in CRS `crs`, or none.
  std::optional<Box> MosaicBounds(int crs) const;
  // "" while layer `i`'s image has the geometry it is served in; else the
  // change, for a refusal (a view of it must not be placed in the old one).
  std::string Changed(size_t i) const;
  // The finest Web Mercator level any layer wants.
  int MaxZoom() const;

  const CrsList &crs() const { return crs_; }
  // How views are resampled into maps off their own grid: one of GDAL's
  // methods (GDALResampleAlg); bilinear unless set.
  int resampling() const { return resampling_; }
  void SetResampling(int method) { resampling_ = method; }
  ViewService &views() const { return *views_; }
  // Views from `views` (which outlives the catalogue's use of it) instead
  // of the module in this process.
  void UseViews(ViewService *views) { views_ = views; }
  const HandlerDescriptor &descriptor() const { return layers_.front().session->descriptor(); }

 private:
  void Place(Layer &layer);

  std::vector<Layer> layers_;
  std::vector<size_t> mosaic_;
  CrsList crs_;
  std::unique_ptr<ViewService> local_;  // the sessions above, behind one lock
  ViewService *views_ = nullptr;
  int resampling_ = 1;
};

}  // namespace web
}  // namespace rhl

#endif
