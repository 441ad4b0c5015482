// OGC WMS at /wms: 1.3.0, and 1.1.1 for the clients that still ask for it.
// GetCapabilities lists the mosaic as the root layer (a request for it draws
// every layer) with each georeferenced image a layer inside it; GetMap and
// GetFeatureInfo translate their parameters into a map request or a point
// query, and every refusal is a ServiceExceptionReport with its code.
#ifndef RHL_HOST_WEB_WMS_H
#define RHL_HOST_WEB_WMS_H

#include <string>

#include "http.h"
#include "ogc.h"

namespace rhl {
namespace web {

void AnswerWms(const Site &site, const HttpRequest &request, HttpResponse &response);

// The capabilities document of `version` (true: 1.3.0, false: 1.1.1), its
// addresses under `base` ("http://host:port").
std::string WmsCapabilities(const Site &site, const std::string &base, bool v130);

}  // namespace web
}  // namespace rhl

#endif
