#include "http.h"

#include <stdio.h>
#include <strings.h>

#include "messages.h"

namespace rhl {
namespace web {

std::string HttpRequest::Header(const std::string &name) const {
  for (const auto &field : headers)
    if (field.first == name) return field.second;
  return "";
}

const std::string *HttpRequest::Param(const std::string &name) const {
  for (const auto &pair : params)
    if (strcasecmp(pair.first.c_str(), name.c_str()) == 0) return &pair.second;
  return nullptr;
}

void HttpResponse::Refuse(int code, const std::string &why) {
  status = code;
  type = "text/plain; charset=utf-8";
  body = Escaped(why, why.size()) + "\n";  // never a client's raw bytes
  reason = why;
}

std::string Escaped(const std::string &text, size_t limit) {
  return rhl::Escaped(text, limit, true);
}

}  // namespace web
}  // namespace rhl
