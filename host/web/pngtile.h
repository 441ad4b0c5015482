// PNG encoding of tiles through libpng.
#ifndef RHL_HOST_WEB_PNGTILE_H
#define RHL_HOST_WEB_PNGTILE_H

#include <stdint.h>

#include <string>

namespace rhl {
namespace web {

// Encodes a `side` x `side` tile whose top-left `width` x `height` pixels are
// `rgb` (3 bytes a pixel, lines packed) and whose rest is transparent: RGB
// when the pixels fill the tile, RGBA otherwise. False with the reason in
// *error.
bool EncodeTile(const uint8_t *rgb, int width, int height, int side, std::string *png,
                std::string *error);

}  // namespace web
}  // namespace rhl

#endif
