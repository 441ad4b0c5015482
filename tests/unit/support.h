// What every unit test shares: captured message boxes, a clean fake library
// and platform script, and scratch files.
#ifndef RHL_TEST_SUPPORT_H
#define RHL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_ncsecwex.h"
#include "handler/handler.h"

struct Box {
  std::string caption;
  std::string text;
  bool operator==(const Box &o) const { return caption == o.caption && text == o.text; }
};
std::ostream &operator<<(std::ostream &os, const Box &b);
using Boxes = std::vector<Box>;

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

inline Box ErrorBox(const std::string &text) { return Box{"Error", text}; }

// Every test starts with no boxes, a fresh fake and no scripted platform
// failures, and ends with the fake's views balanced and never misused.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const Boxes &boxes() const;
  // A scratch file under a short fresh folder of this test, removed when the
  // test ends; returns its path. Names must be legal on Windows too.
  std::string WriteFile(const std::string &name, const std::string &content);
  std::string ScratchPath(const std::string &name);
  // The path of exactly `length` characters to a file `name` in nested
  // scratch folders, which are made; the file is not.
  std::string DeepScratchPath(size_t length, const std::string &name);
  static void WriteFileAt(const std::string &path, const std::string &content);
  // The platform's own text for an error code, as SystemErrorText gives it.
  static std::string ErrorText(uint32_t code);

  Raster raster_{};
  bool expectBalancedViews_ = true;

 private:
  const std::string &Folder();  // the test's scratch folder, with a separator
  std::string dir_;
};

#endif
