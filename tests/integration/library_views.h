// Views read through the library's five operations, as the handler reads
// them, for comparing with GDAL.
#ifndef RHL_TESTS_LIBRARY_VIEWS_H
#define RHL_TESTS_LIBRARY_VIEWS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace fixtures {

struct Window {
  int left, top, right, bottom, width, height;  // corners inclusive; the window's size
};

// Every line of a view of `name`, concatenated, each checked as it comes (no
// byte written past it, none after the last); empty when the view cannot be
// opened or set, with the failure recorded.
std::vector<uint8_t> ReadView(const std::string &name, const std::vector<uint32_t> &bands,
                              const Window &w);

}  // namespace fixtures

#endif
