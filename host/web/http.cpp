#include "http.h"

#include <stdio.h>
#include <strings.h>

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

namespace {

// The length of the valid UTF-8 sequence at `s` (of `n` bytes) that encodes
// a printable character, or 0.
size_t PrintableUtf8(const unsigned char *s, size_t n) {
  size_t length = s[0] >= 0xf0 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
  if (length == 0 || length > n || s[0] > 0xf4) return 0;
  unsigned long code = s[0] & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xc0) != 0x80) return 0;
    code = code << 6 | (s[i] & 0x3f);
  }
  bool shortest = code >= (length == 2 ? 0x80ul : length == 3 ? 0x800ul : 0x10000ul);
  bool c1 = code < 0xa0, surrogate = code >= 0xd800 && code < 0xe000;
  return shortest && !c1 && !surrogate && code <= 0x10ffff ? length : 0;
}

}  // namespace

std::string Escaped(const std::string &text, size_t limit) {
  std::string out;
  size_t n = text.size() < limit ? text.size() : limit;
  const unsigned char *bytes = (const unsigned char *)text.data();
  for (size_t i = 0; i < n;) {
    unsigned char c = bytes[i];
    size_t run = c >= 0x80 ? PrintableUtf8(bytes + i, n - i) : 0;
    if (run > 0) {
      out.append(text, i, run);
      i += run;
      continue;
    }
    ++i;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += (char)c;
    }
  }
  if (n < text.size()) out += "...";
  return out;
}

}  // namespace web
}  // namespace rhl
