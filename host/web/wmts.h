// OGC WMTS 1.0.0 at /wmts, in key-value pairs (/wmts?SERVICE=WMTS&...) and
// RESTful (/wmts/1.0.0/WMTSCapabilities.xml,
// /wmts/1.0.0/{layer}/{style}/{set}/{matrix}/{row}/{col}.{png,jpg,webp}).
// Every georeferenced layer, and the mosaic, in GoogleMapsCompatible; each
// image also in its own CRS (the set "native-<layer>"), whose tiles are
// single views. Refusals are OWS ExceptionReports with their HTTP status.
#ifndef RHL_HOST_WEB_WMTS_H
#define RHL_HOST_WEB_WMTS_H

#include <string>

#include "http.h"
#include "ogc.h"

namespace rhl {
namespace web {

// `rest` is the path after "/wmts" ("" for key-value pairs).
void AnswerWmts(const Site &site, const std::string &rest, const HttpRequest &request,
                HttpResponse &response);

std::string WmtsCapabilities(const Site &site, const std::string &base);

}  // namespace web
}  // namespace rhl

#endif
