#include "fuzz_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform.h"

namespace fuzz {

uint8_t Input::U8() {
  if (n_ == 0) return 0;
  --n_;
  return *p_++;
}

uint32_t Input::U32() {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= (uint32_t)U8() << (8 * i);
  return v;
}

double Input::F64() {
  uint64_t bits = (uint64_t)U32() | ((uint64_t)U32() << 32);
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

int32_t Input::Coordinate() {
  uint8_t pick = U8();
  if (pick < 224) return (int32_t)(pick % 112) - 6;
  return I32();
}

std::string Input::Rest() {
  std::string rest((const char *)p_, n_);
  p_ += n_;
  n_ = 0;
  return rest;
}

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

std::vector<Box> &Boxes() {
  static std::vector<Box> boxes;
  return boxes;
}

static void Capture(const char *caption, const char *text) {
  Boxes().push_back(Box{caption, text});
}

void CaptureBoxes() { PlatSetMessageSink(Capture); }

static std::string gScratch;

static int RemoveOne(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}
static void RemoveScratch() { nftw(gScratch.c_str(), RemoveOne, 8, FTW_DEPTH | FTW_PHYS); }

const std::string &ScratchDir() {
  if (gScratch.empty()) {
    char templ[] = "/tmp/rhl-fuzz-XXXXXX";
    Check(mkdtemp(templ) != nullptr, "a scratch folder");
    gScratch = std::string(templ) + "/";
    atexit(RemoveScratch);
  }
  return gScratch;
}

void WriteFile(const std::string &path, const std::string &content) {
  FILE *f = fopen(path.c_str(), "wb");
  Check(f != nullptr, "a scratch file");
  Check(fwrite(content.data(), 1, content.size(), f) == content.size(), "writing a scratch file");
  fclose(f);
}

Rewritable::Rewritable(const std::string &path)
    : fd_(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) {
  Check(fd_ >= 0, "a file to rewrite");
}

void Rewritable::Write(const std::string &content) {
  Check(ftruncate(fd_, 0) == 0, "emptying a file");
  Check(pwrite(fd_, content.data(), content.size(), 0) == (ssize_t)content.size(),
        "rewriting a file");
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int NextDescriptor() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

}  // namespace fuzz
