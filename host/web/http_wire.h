// The text of HTTP/1.1 as the transport reads and writes it: a request
// target split and decoded into an HttpRequest, the Host check, and an
// answer's status line and header fields. No sockets here.
#ifndef RHL_HOST_WEB_HTTP_WIRE_H
#define RHL_HOST_WEB_HTTP_WIRE_H

#include <string>

#include "http.h"

namespace rhl {
namespace web {

// `text` with %XX sequences decoded (and '+' as a space where `plusIsSpace`);
// a '%' not followed by two hex digits stays as it is.
std::string PercentDecoded(const std::string &text, bool plusIsSpace);

// Fills request->path, query and params from request->target: the
// origin form ("/path?query") or the absolute form ("http://host/path"),
// whose host then goes into *authority. False for any other form.
bool SplitTarget(HttpRequest *request, std::string *authority);

// Whether a Host value (or a target's authority) names this machine's
// loopback: localhost, 127.x.y.z or [::1], with or without a port.
bool IsLoopbackHost(const std::string &host);

// The status line and header fields of an answer whose body is
// `contentLength` bytes, ending with the empty line. `close` adds
// "Connection: close", `keepAlive` "Connection: keep-alive" (for an HTTP/1.0
// client that asked for it). The handler's fields go out without CR, LF or
// NUL in them; those the transport sets itself are skipped.
std::string ResponseHead(const HttpResponse &response, size_t contentLength, bool close,
                         bool keepAlive);

// The reason phrase of a status code.
const char *StatusText(int status);

}  // namespace web
}  // namespace rhl

#endif
