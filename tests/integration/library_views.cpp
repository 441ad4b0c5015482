#include "library_views.h"

#include <gtest/gtest.h>

#include "ecw/ncsecwex.h"

namespace fixtures {

std::vector<uint8_t> ReadView(const std::string &name, const std::vector<uint32_t> &bands,
                              const Window &w) {
  EcwView *view = nullptr;
  if (NCScbmOpenFileView(name.c_str(), &view, nullptr) != 0) {
    ADD_FAILURE() << "cannot open " << name;
    return {};
  }
  std::vector<uint32_t> list = bands;
  std::vector<uint8_t> all, line((size_t)w.width * 3 + 16, 0xEE);
  if (NCScbmSetFileView(view, (uint32_t)list.size(), list.data(), w.left, w.top, w.right,
                        w.bottom, w.width, w.height) != 0) {
    ADD_FAILURE() << "cannot set a view of " << name;
    NCScbmCloseFileView(view);
    return {};
  }
  for (int y = 0; y < w.height; ++y) {
    EXPECT_EQ(NCScbmReadViewLineRGB(view, line.data()), 0) << "line " << y;
    all.insert(all.end(), line.begin(), line.begin() + (size_t)w.width * 3);
    EXPECT_EQ(line[(size_t)w.width * 3], 0xEE) << "nothing written past the line";
  }
  EXPECT_NE(NCScbmReadViewLineRGB(view, line.data()), 0) << "no line after the last";
  NCScbmCloseFileView(view);
  return all;
}

}  // namespace fixtures
