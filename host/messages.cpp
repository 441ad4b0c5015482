#include "messages.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

#include "cpl_error.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace rhl {
namespace {

// Where rhl's own lines go: the real standard error, also while the module's
// is held aside.
int gOut = 2;
bool gQuiet = false;
std::mutex gLock;
// The holder while one is active (for a sanitizer's report on the way out).
int gHolder = -1;
Recording *gRecording = nullptr;

// The captions of the module's boxes, as "caption: text" begins.
bool BeginsABox(const std::string &line) {
  for (const char *caption : {"Error: ", "RXAssert failed: "})
    if (line.compare(0, strlen(caption), caption) == 0) return true;
  return false;
}

void WriteAll(int fd, const std::string &text) {
  const char *p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= (size_t)n;
  }
}

void CPL_STDCALL GdalHandler(CPLErr level, CPLErrorNum, const char *text) {
  std::lock_guard<std::mutex> hold(gLock);
  if (level == CE_Warning) {
    std::string line = text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    WriteAll(gOut, "rhl: GDAL: " + line + "\n");
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  if (lseek(fd, 0, SEEK_SET) != 0) return text;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, (size_t)n);
  }
  if (ftruncate(fd, 0) != 0) { /* the next read starts over regardless */ }
  lseek(fd, 0, SEEK_SET);
  return text;
}

#if defined(__SANITIZE_ADDRESS__)
// A sanitizer's report written while standard error is held would die with
// the process: it goes out raw first.
void OnDeath() {
  if (gHolder >= 0) WriteAll(gOut, ReadAll(gHolder));
}
#endif

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

void RecordLine(const std::string &line) {
  if (gRecording != nullptr) gRecording->lines_.push_back(line);
}

Recording::Recording() : outer_(gRecording) { gRecording = this; }
Recording::~Recording() { gRecording = outer_; }

std::string Escaped(const std::string &text, size_t limit, bool backslashes) {
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
    if (c == '\\' && backslashes) {
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

void Say(const std::string &text) {
  // Some of GDAL's messages end in a newline of their own.
  size_t end = text.find_last_not_of(" \n");
  std::string line = Escaped(text.substr(0, end == std::string::npos ? 0 : end + 1));
  std::lock_guard<std::mutex> hold(gLock);
  RecordLine(line);
  WriteAll(gOut, "rhl: " + line + "\n");
}

void Note(const std::string &text) {
  if (!gQuiet) Say("note: " + text);
}

void SetQuiet(bool quiet) { gQuiet = quiet; }

void RouteGdalErrors() { CPLSetErrorHandler(GdalHandler); }

ModuleBoxes::ModuleBoxes(const std::string &module) : module_(module) {
  fflush(stderr);
  holder_ = memfd_create("rhl-module-boxes", MFD_CLOEXEC);
  if (holder_ < 0) return;  // the boxes then come out as the module writes them
  saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0 || dup2(holder_, 2) < 0) {
    if (saved_ >= 0) close(saved_);
    close(holder_);
    saved_ = holder_ = -1;
    return;
  }
  std::lock_guard<std::mutex> hold(gLock);
  gOut = saved_;
  gHolder = holder_;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_set_death_callback(OnDeath);
#endif
}

void ModuleBoxes::Relay() {
  if (holder_ < 0) return;
  fflush(stderr);
  std::string held = ReadAll(holder_);
  // A box's text may hold line breaks of its own (a name read from a file):
  // a line that does not begin as a box does continues the one before.
  std::vector<std::string> boxes;
  for (size_t start = 0; start < held.size();) {
    size_t end = held.find('\n', start);
    if (end == std::string::npos) end = held.size();
    std::string line = held.substr(start, end - start);
    start = end + 1;
    if (!boxes.empty() && !BeginsABox(line))
      boxes.back() += "\n" + line;
    else if (!line.empty())
      boxes.push_back(line);
  }
  std::string relayed;
  std::lock_guard<std::mutex> hold(gLock);
  for (std::string &box : boxes) {
    if (box.compare(0, 7, "Error: ") == 0) box.erase(0, 7);
    std::string line = module_ + ": " + Escaped(box);
    RecordLine(line);
    relayed += line + "\n";
    shown_ = true;
  }
  WriteAll(saved_, relayed);
}

ModuleBoxes::~ModuleBoxes() {
  if (holder_ < 0) return;
  Relay();
  {
    std::lock_guard<std::mutex> hold(gLock);
    gOut = 2;
    gHolder = -1;
  }
  dup2(saved_, 2);
  close(saved_);
  close(holder_);
}

}  // namespace rhl
