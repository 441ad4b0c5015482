// The page's files, built into rhl: its own page, script and style, and
// Leaflet from the system's copy. Nothing is read from disk when serving.
#ifndef RHL_HOST_WEB_ASSETS_H
#define RHL_HOST_WEB_ASSETS_H

#include <stddef.h>

namespace rhl {
namespace web {

struct Asset {
  const char *path;  // as requested, e.g. "/leaflet/leaflet.js"
  const char *type;  // Content-Type
  const unsigned char *bytes;
  size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

}  // namespace web
}  // namespace rhl

#endif
