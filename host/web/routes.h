// Which service answers which path: /wms, /wmts, /xyz, /api/..., the pixel
// tiles under /tiles, and the page's own files; anything else is 404.
#ifndef RHL_HOST_WEB_ROUTES_H
#define RHL_HOST_WEB_ROUTES_H

#include "http.h"
#include "ogc.h"

namespace rhl {
namespace web {

// The handler for every request; `site` outlives it.
HttpHandler Routes(const Site &site);

}  // namespace web
}  // namespace rhl

#endif
