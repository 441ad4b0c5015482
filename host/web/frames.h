// The wire between rhl serve and its view workers: framed messages over a
// stream socket. A frame is its kind and its body's size (two 32-bit words)
// followed by the body; bodies are built and read field by field in the
// machine's own byte order, as both ends are the same program.
#ifndef RHL_HOST_WEB_FRAMES_H
#define RHL_HOST_WEB_FRAMES_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>

namespace rhl {
namespace web {
namespace frames {

enum Kind : uint32_t {
  kHello = 1,  // server to worker: the module and the images to open
  kReady,      // worker to server: what it opened
  kView,       // server to worker: one view of one image
  kPixels,     // worker to server: the view's outcome and its pixels
};

using Clock = std::chrono::steady_clock;
// No deadline: wait as long as it takes.
constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

// A body under construction, or being read. Get* answer false (and leave
// the value alone) past the end.
class Body {
 public:
  Body() = default;
  explicit Body(std::string bytes) : bytes_(std::move(bytes)) {}

  void PutU32(uint32_t v) { Put(&v, sizeof v); }
  void PutI32(int32_t v) { Put(&v, sizeof v); }
  void PutF64(double v) { Put(&v, sizeof v); }
  void PutText(const std::string &text);  // its size, then its bytes

  bool GetU32(uint32_t *v) { return Get(v, sizeof *v); }
  bool GetI32(int32_t *v) { return Get(v, sizeof *v); }
  bool GetF64(double *v) { return Get(v, sizeof *v); }
  bool GetText(std::string *text);
  // What is left after the fields read so far.
  size_t Left() const { return bytes_.size() - at_; }
  const char *Rest() const { return bytes_.data() + at_; }

  const std::string &bytes() const { return bytes_; }

 private:
  void Put(const void *p, size_t n) { bytes_.append(static_cast<const char *>(p), n); }
  bool Get(void *p, size_t n);

  std::string bytes_;
  size_t at_ = 0;
};

enum class Io {
  kDone,      // the whole frame went out, or came in
  kEnded,     // the other end closed the connection (or was gone)
  kTimedOut,  // the deadline passed first
  kFailed,    // a frame over its limit, or a socket error
};

// Sends one frame of `kind`: `body`, then `tail` (`tailSize` bytes; may be
// null), as one body, by `deadline`.
Io Send(int fd, uint32_t kind, const Body &body, const void *tail, size_t tailSize,
        Clock::time_point deadline);
inline Io Send(int fd, uint32_t kind, const Body &body, Clock::time_point deadline) {
  return Send(fd, kind, body, nullptr, 0, deadline);
}

// Receives one frame whose body holds at most `limit` bytes, by `deadline`.
Io Receive(int fd, uint32_t *kind, Body *body, size_t limit, Clock::time_point deadline);

}  // namespace frames
}  // namespace web
}  // namespace rhl

#endif
