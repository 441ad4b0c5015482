#include "http_wire.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>

namespace rhl {
namespace web {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string text) {
  for (char &c : text) c = (char)tolower((unsigned char)c);
  return text;
}

bool AllDigits(const std::string &text) {
  for (char c : text)
    if (!isdigit((unsigned char)c)) return false;
  return true;
}

// A field name or value as it may go out: CR, LF and NUL become spaces, so
// that no field a handler sets can end the head or add a field.
std::string FieldText(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

}  // namespace

std::string PercentDecoded(const std::string &text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    int high, low;
    if (c == '%' && i + 2 < text.size() && (high = HexValue(text[i + 1])) >= 0 &&
        (low = HexValue(text[i + 2])) >= 0) {
      out += (char)(high << 4 | low);
      i += 2;
    } else {
      out += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return out;
}

bool SplitTarget(HttpRequest *request, std::string *authority) {
  std::string target = request->target;
  authority->clear();
  const std::string scheme = "http://";
  if (Lower(target.substr(0, scheme.size())) == scheme) {
    size_t slash = target.find_first_of("/?", scheme.size());
    *authority = target.substr(scheme.size(), slash - scheme.size());
    if (authority->empty()) return false;
    target = slash == std::string::npos ? "/"
             : target[slash] == '?'     ? "/" + target.substr(slash)
                                        : target.substr(slash);
  } else if (target.empty() || target[0] != '/') {
    return false;
  }
  size_t mark = target.find('?');
  request->path = PercentDecoded(target.substr(0, mark), false);
  request->query = mark == std::string::npos ? "" : target.substr(mark + 1);
  request->params.clear();
  const std::string &query = request->query;
  for (size_t from = 0; from <= query.size();) {
    size_t amp = query.find('&', from);
    if (amp == std::string::npos) amp = query.size();
    std::string pair = query.substr(from, amp - from);
    from = amp + 1;
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    std::string name = pair.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    request->params.emplace_back(PercentDecoded(name, true), PercentDecoded(value, true));
  }
  return true;
}

bool IsLoopbackHost(const std::string &host) {
  std::string name, port;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    std::string rest = host.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return false;
    port = rest.empty() ? "" : rest.substr(1);
    in6_addr address;
    if (!AllDigits(port) || inet_pton(AF_INET6, name.c_str(), &address) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
    return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
  }
  size_t colon = host.rfind(':');
  name = Lower(host.substr(0, colon));
  port = colon == std::string::npos ? "" : host.substr(colon + 1);
  if (!AllDigits(port)) return false;
  if (name == "localhost" || name == "localhost.") return true;
  in_addr address;  // dotted decimal, four parts: inet_pton takes no other form
  if (inet_pton(AF_INET, name.c_str(), &address) != 1) return false;
  return ((const unsigned char *)&address.s_addr)[0] == 127;
}

const char *StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 416:
      return "Range Not Satisfiable";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return status < 200   ? "Informational"
             : status < 300 ? "Success"
             : status < 400 ? "Redirection"
             : status < 500 ? "Client Error"
                            : "Server Error";
  }
}

std::string ResponseHead(const HttpResponse &response, size_t contentLength, bool close,
                         bool keepAlive) {
  int status = response.status >= 100 && response.status <= 999 ? response.status : 500;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  if (!response.type.empty()) head += "Content-Type: " + FieldText(response.type) + "\r\n";
  head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  for (const auto &field : response.headers) {
    std::string name = Lower(field.first);
    if (name.empty() || name == "content-length" || name == "content-type" ||
        name == "transfer-encoding" || name == "connection" || name == "rhl-reason" ||
        name.find_first_of(" :\t\r\n") != std::string::npos)
      continue;
    head += FieldText(field.first) + ": " + FieldText(field.second) + "\r\n";
  }
  if (!response.reason.empty()) head += "Rhl-Reason: " + Escaped(response.reason) + "\r\n";
  if (close)
    head += "Connection: close\r\n";
  else if (keepAlive)
    head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
}

}  // namespace web
}  // namespace rhl
