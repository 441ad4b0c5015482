#include "support.h"

#include <ctype.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "handler/handler.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

static Boxes gBoxes;

static void Capture(const char *caption, const char *text) {
  gBoxes.push_back(Box{caption, text});
}

std::ostream &operator<<(std::ostream &os, const Box &b) {
  return os << "[" << b.caption << "] " << b.text;
}

void ModuleTest::SetUp() {
  gBoxes.clear();
  PlatSetMessageSink(Capture);
  PlatFailNext(PLAT_OP_NONE, 0, 0);
  fake::Reset();
}

void ModuleTest::TearDown() {
  PlatFailNext(PLAT_OP_NONE, 0, 0);
  // What a successful open hangs on the record stays for the host's lifetime;
  // the test is the host here and gives it back.
  if (ViewState *state = LiveViewState(&raster_)) ReleaseViewState(state);
  PlatFree(raster_.registration);
  EXPECT_EQ(fake::Misuses(), 0) << "a view handle was used after close or never opened";
  if (expectBalancedViews_) {
    EXPECT_EQ(fake::OpenViews(), 0) << "views left open";
  }
  PlatSetMessageSink(nullptr);
  if (!dir_.empty()) {
    // On Windows this also fails while the module still holds a file open.
    std::error_code error;
    fs::remove_all(fs::path(dir_).parent_path(), error);
    EXPECT_FALSE(error) << "scratch folder " << dir_ << " not removed: " << error.message();
    dir_.clear();
  }
}

const Boxes &ModuleTest::boxes() const { return gBoxes; }

// Windows makes no file for a device name, with any extension ("nul.url"
// writes to the null device), nor for these characters or a trailing dot or
// space; a fixture named so would fail there alone.
static bool LegalOnWindows(const std::string &name) {
  if (name.empty() || name.find_first_of("<>:\"/\\|?*") != std::string::npos ||
      name.back() == '.' || name.back() == ' ')
    return false;
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char &c : stem) c = (char)tolower((unsigned char)c);
  for (const char *device : {"con", "prn", "aux", "nul"})
    if (stem == device) return false;
  return !(stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '1' && stem[3] <= '9');
}

const std::string &ModuleTest::Folder() {
  if (dir_.empty()) {
    // Short, so that a test's own deep paths stay within what it chooses.
    static unsigned counter = 0;
    fs::path base = fs::temp_directory_path();
    fs::path dir;
    do {
      dir = base / ("rhl-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    } while (!fs::create_directory(dir));
    dir_ = (dir / "").string();
  }
  return dir_;
}

std::string ModuleTest::ScratchPath(const std::string &name) {
  EXPECT_TRUE(LegalOnWindows(name)) << "'" << name << "' is no file name on Windows";
  return Folder() + name;
}

std::string ModuleTest::DeepScratchPath(size_t length, const std::string &name) {
  // Folders of 40 characters until one file name of at most 100 is left.
  std::string path = Folder();
  const size_t kFolder = 40, kLastName = 100;
  while (length > path.size() + kLastName) {
    path += std::string(kFolder, 'd');
    fs::create_directory(path);
    path += kSeparator;
  }
  std::string last = path + name;
  EXPECT_LE(last.size(), length) << "the scratch folder is too deep already";
  if (last.size() >= length) return last;
  return path + std::string(length - last.size(), 'f') + name;
}

void ModuleTest::WriteFileAt(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
}

std::string ModuleTest::WriteFile(const std::string &name, const std::string &content) {
  std::string path = ScratchPath(name);
  WriteFileAt(path, content);
  return path;
}

std::string ModuleTest::ErrorText(uint32_t code) {
  char text[1024];
  if (!PlatErrorText(code, text, sizeof text)) return "";
  return text;
}

