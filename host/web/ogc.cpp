#include "ogc.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include <chrono>
#include <sstream>

#include "http_wire.h"

namespace rhl {
namespace web {

namespace {

// A host name or address with an optional port, fit to go into an address
// the server writes into a document.
bool PlainHost(const std::string &host) {
  bool usable = !host.empty() && host.size() <= 255;
  for (char c : host)
    usable = usable && (isalnum((unsigned char)c) || c == '.' || c == '-' || c == ':' ||
                        c == '[' || c == ']' || c == '_');
  return usable;
}

// The first of a header's comma-separated values (each proxy on the way adds
// one; the first is the client's), without spaces around it.
std::string FirstValue(const std::string &field) {
  std::string value = field.substr(0, field.find(','));
  size_t from = value.find_first_not_of(" \t"), to = value.find_last_not_of(" \t");
  return from == std::string::npos ? "" : value.substr(from, to - from + 1);
}

}  // namespace

std::string BaseUrl(const Site &site, const HttpRequest &request) {
  std::string host = request.Header("host");
  if (!PlainHost(host)) return "http://" + site.listening;
  // A proxy in front (nginx, on this machine: it names a loopback host, as
  // the server bound to loopback requires) says where its clients reached it.
  // Only where the request is addressed to this machine's loopback anyway:
  // a client that reached the server directly under another name gets the
  // name it used.
  std::string forwarded = FirstValue(request.Header("x-forwarded-host"));
  if (!IsLoopbackHost(host) || !PlainHost(forwarded)) return "http://" + host;
  std::string scheme = FirstValue(request.Header("x-forwarded-proto"));
  return (strcasecmp(scheme.c_str(), "https") == 0 ? "https://" : "http://") + forwarded;
}

bool ReadNumber(const std::string &text, double *value) {
  if (text.empty() || isspace((unsigned char)text[0])) return false;
  char *end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool ReadWhole(const std::string &text, int64_t highest, int64_t *value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (!isdigit((unsigned char)c)) return false;
    v = v * 10 + (c - '0');
  }
  if (v > highest) return false;
  *value = v;
  return true;
}

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

std::string XmlText(const pugi::xml_document &doc) {
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
  return out.str();
}

std::string Printable(const std::string &text) { return Escaped(text, 200); }

int AnswerMap(const Site &site, const MapRequest &request, const ImageFormat &format,
              const Background &background, HttpResponse &res, std::string *error) {
  MapImage map = RenderMap(site.catalogue, request);
  if (!map.made) {
    *error = map.error;
    return map.timedOut ? 504 : 500;
  }
  auto start = std::chrono::steady_clock::now();
  if (!Encode(format, map.rgba.data(), map.width, map.height, background, &res.body, error))
    return 500;
  double encodeMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  char timing[128];
  snprintf(timing, sizeof timing, "view;dur=%.3f, warp;dur=%.3f, %s;dur=%.3f", map.viewMs,
           map.warpMs, format.extension, encodeMs);
  res.headers.emplace_back("Server-Timing", timing);
  // Images change on disk: a client asks again rather than keep a map.
  res.headers.emplace_back("Cache-Control", "no-cache");
  res.type = format.mime;
  return 0;
}

}  // namespace web
}  // namespace rhl
