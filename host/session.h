// A host session: one loaded module, one host-owned raster record, and the
// entries driven in the order the host application drives them.
#ifndef RHL_HOST_SESSION_H
#define RHL_HOST_SESSION_H

#include <stdint.h>

#include <array>
#include <string>

#include "loader.h"

namespace rhl {

struct ViewRequest {
  RhlRect source{};       // image pixels, right and bottom exclusive
  RhlRect destination{};  // only its size counts
  double scale = 1.0;
};

// Window size the module delivers for a request: the source at scale 1.0
// exactly, otherwise no larger than the destination.
void WindowSize(const ViewRequest &request, int32_t *width, int32_t *height);

// The view of `source` at `scale`, as `rhl render --src ... --scale S` asks
// for it: the destination is the source scaled and rounded, at least one
// pixel each way.
ViewRequest ScaledView(const RhlRect &source, double scale);

// The view of `source` delivered as `width` x `height` pixels, as
// `rhl render --src ... --outsize W H` asks for it: at scale 1.0 exactly when
// that is the source's size, else at the scale of whichever side changes.
ViewRequest SizedView(const RhlRect &source, int32_t width, int32_t height);

// World position of pixel corners from the registration block's three
// control points: x = gt[0] + col * gt[1] + row * gt[2], y likewise.
std::array<double, 6> GeoTransformOf(const RegistrationBlock &block);

class Session {
 public:
  Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session();

  bool Load(const std::string &modulePath, std::string *error);
  const HandlerModule &module() const { return module_; }
  const HandlerDescriptor &descriptor() const { return descriptor_; }
  const Raster &raster() const { return *raster_; }

  // Whether the module's descriptor lists the extension `name` ends with.
  bool Serves(const std::string &name) const;
  bool ServesExtension(const std::string &extension) const;
  // Probe, then open, as the host does before showing an image. The probe
  // and BeginView first forget any reason the library kept from before.
  bool Probe(const std::string &name);
  bool Open(const std::string &name);
  // Both, with what went wrong in *error (the module's own message is
  // already on standard error): "does not serve" only for a name whose
  // extension the module does not list, "could not open" for any other.
  bool ProbeAndOpen(const std::string &name, std::string *error);
  // One view: begin, then the caller reads lines 0, 1, ... and ends it.
  bool BeginView(const ViewRequest &request, int32_t *lineWidth);
  const uint8_t *ReadLine(int32_t index);
  void EndView();
  // After a failure: the library's reason for it in words, or "".
  std::string LibraryReason() const { return module_.TakeLibraryReason(); }
  // The same after `error`'s text (": reason"), when there is one.
  void AddLibraryReason(std::string *error) const;

 private:
  HandlerModule module_;
  HandlerDescriptor descriptor_{};
  Raster *raster_;
  bool viewOpen_ = false;
};

}  // namespace rhl

#endif
