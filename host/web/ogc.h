// What the web services share: the catalogue they describe, the address a
// client reaches them at, strict reading of request values, the map formats,
// and XML out of pugixml.
#ifndef RHL_HOST_WEB_OGC_H
#define RHL_HOST_WEB_OGC_H

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "catalogue.h"
#include "encode.h"
#include "http.h"
#include "maprequest.h"

namespace rhl {
namespace web {

// The largest map a request may ask for, each way.
constexpr int kMaxMapSide = 4096;
constexpr int kTileSide = 256;

struct Site {
  const Catalogue &catalogue;
  std::string listening;  // "127.0.0.1:8080": for a request without a usable Host
};

// "http://host:port", from the request's Host where it is a plain host name
// or address with a port, else where the server listens. A request for a
// loopback host that carries X-Forwarded-Host (a proxy on this machine in
// front of the server) gets that host instead, and https where
// X-Forwarded-Proto says so.
std::string BaseUrl(const Site &site, const HttpRequest &request);

// A finite number, the whole of `text`.
bool ReadNumber(const std::string &text, double *value);
// A whole number from 0 to `highest`, digits only.
bool ReadWhole(const std::string &text, int64_t highest, int64_t *value);
// The parts between separators, empty ones kept ("" is one empty part):
// comma-separated lists, paths.
std::vector<std::string> Split(const std::string &text, char separator);

// The document as text, with its XML declaration.
std::string XmlText(const pugi::xml_document &doc);
// Text for a response: control characters escaped (XML cannot hold them).
std::string Printable(const std::string &text);

// A map made and encoded into `res` (with Server-Timing): 0; or the HTTP
// status for its failure with the reason in *error: 504 when a view ran out
// of time, 500 when a view or the warper failed.
int AnswerMap(const Site &site, const MapRequest &request, const ImageFormat &format,
               const Background &background, HttpResponse &res, std::string *error);

}  // namespace web
}  // namespace rhl

#endif
