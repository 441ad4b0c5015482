// Encoding of maps and tiles: PNG through libpng, JPEG through
// libjpeg-turbo, WebP through libwebp, from RGBA pixels. Settings favour
// speed, as every request is encoded afresh.
#ifndef RHL_HOST_WEB_ENCODE_H
#define RHL_HOST_WEB_ENCODE_H

#include <stdint.h>

#include <string>

namespace rhl {
namespace web {

struct ImageFormat {
  enum Kind { kPng, kJpeg, kWebp } kind;
  const char *mime;       // "image/png"
  const char *extension;  // "png"
  bool alpha;             // can be transparent
};

// The formats served, PNG first.
extern const ImageFormat kImageFormats[3];
// By MIME type ("image/png"; letter case ignored) or by extension ("png",
// "jpg", "jpeg", "webp"); null when not served.
const ImageFormat *FormatByMime(const std::string &mime);
const ImageFormat *FormatByExtension(const std::string &extension);

struct Background {
  bool transparent = true;  // keep the map's alpha (where the format has one)
  uint8_t rgb[3] = {255, 255, 255};
};

// Encodes `width` x `height` RGBA pixels (lines packed). Where the map is not
// to be transparent, or the format cannot be, its pixels are first laid over
// the background (in place). A map that is opaque throughout is encoded
// without alpha. False with the reason in *error.
bool Encode(const ImageFormat &format, uint8_t *rgba, int width, int height,
            const Background &background, std::string *out, std::string *error);

}  // namespace web
}  // namespace rhl

#endif
