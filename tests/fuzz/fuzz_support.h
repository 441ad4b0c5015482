// What the libFuzzer harnesses share: reading values from the fuzzer's bytes,
// checks that stop the run, captured message boxes and scratch files.
#ifndef RHL_FUZZ_SUPPORT_H
#define RHL_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzz {

// Values drawn from the input; once it runs out, every value is 0.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}
  bool empty() const { return n_ == 0; }
  uint8_t U8();
  uint32_t U32();
  int32_t I32() { return (int32_t)U32(); }
  double F64();
  // Mostly small coordinates, sometimes any 32-bit value.
  int32_t Coordinate();
  // The rest of the input.
  std::string Rest();

 private:
  const uint8_t *p_;
  size_t n_;
};

// Stops the run with `what` when `ok` is false: a finding.
void Check(bool ok, const char *what);

struct Box {
  std::string caption, text;
};
// Message boxes shown since the last Clear.
std::vector<Box> &Boxes();
// Routes the module's message boxes into Boxes().
void CaptureBoxes();

// A fresh folder for this process's scratch files, with a trailing slash.
const std::string &ScratchDir();
// Writes `content` to `path`, replacing what was there.
void WriteFile(const std::string &path, const std::string &content);
// A file kept open for writing, rewritten in place with two calls.
class Rewritable {
 public:
  explicit Rewritable(const std::string &path);
  void Write(const std::string &content);

 private:
  int fd_;
};
// The lowest free descriptor: it rises when one is left open.
int NextDescriptor();
// True if `fd` is open.
bool IsOpen(int fd);

}  // namespace fuzz

#endif
