#include "support.h"

#include <stdio.h>

#include <fstream>

#include "platform/platform.h"
#include "handler/handler.h"

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
}

const Boxes &ModuleTest::boxes() const { return gBoxes; }

std::string ModuleTest::ScratchPath(const std::string &name) {
  if (dir_.empty()) {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
#if defined(_WIN32)
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    dir_ = std::string(tmp) + "rhl-" + info->test_suite_name() + "-" + info->name();
    _mkdir(dir_.c_str());
    dir_ += "\\";
#else
    std::string templ = std::string("/tmp/rhl-") + info->name() + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    dir_ = std::string(mkdtemp(buf.data())) + "/";
#endif
  }
  return dir_ + name;
}

std::string ModuleTest::WriteFile(const std::string &name, const std::string &content) {
  std::string path = ScratchPath(name);
  std::ofstream out(path, std::ios::binary);
  out << content;
  return path;
}

std::string ModuleTest::ErrorText(uint32_t code) {
  char text[1024];
  if (!PlatErrorText(code, text, sizeof text)) return "";
  return text;
}

