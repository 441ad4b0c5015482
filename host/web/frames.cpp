#include "frames.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

namespace rhl {
namespace web {
namespace frames {
namespace {

struct Header {
  uint32_t kind;
  uint32_t size;
};

// Waits until `fd` is ready for `events` or the deadline passes.
Io Await(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int wait = -1;
    if (deadline != kNoDeadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() < 0) return Io::kTimedOut;
      // Rounded up, so that a wait never ends just before its deadline.
      wait = (int)std::min<int64_t>(left.count() + 1, 60 * 60 * 1000);
    }
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, wait);
    if (n > 0) return Io::kDone;  // ready, or an error or hang-up the next call reports
    if (n < 0 && errno != EINTR) return Io::kFailed;
  }
}

Io Fault(int error) {
  return error == EPIPE || error == ECONNRESET ? Io::kEnded : Io::kFailed;
}

// Reads exactly `size` bytes into `to`.
Io ReadAll(int fd, char *to, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t n = recv(fd, to, size, MSG_DONTWAIT);
    if (n > 0) {
      to += n;
      size -= (size_t)n;
    } else if (n == 0) {
      return Io::kEnded;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Io ready = Await(fd, POLLIN, deadline);
      if (ready != Io::kDone) return ready;
    } else if (errno != EINTR) {
      return Fault(errno);
    }
  }
  return Io::kDone;
}

}  // namespace

void Body::PutText(const std::string &text) {
  PutU32((uint32_t)text.size());
  bytes_ += text;
}

bool Body::Get(void *p, size_t n) {
  if (Left() < n) return false;
  memcpy(p, bytes_.data() + at_, n);
  at_ += n;
  return true;
}

bool Body::GetText(std::string *text) {
  uint32_t size = 0;
  size_t at = at_;
  if (!GetU32(&size) || Left() < size) {
    at_ = at;
    return false;
  }
  text->assign(Rest(), size);
  at_ += size;
  return true;
}

Io Send(int fd, uint32_t kind, const Body &body, const void *tail, size_t tailSize,
        Clock::time_point deadline) {
  size_t total = body.bytes().size() + tailSize;
  if (total > UINT32_MAX) return Io::kFailed;
  Header header{kind, (uint32_t)total};
  iovec parts[3] = {{&header, sizeof header},
                    {const_cast<char *>(body.bytes().data()), body.bytes().size()},
                    {const_cast<void *>(tail), tailSize}};
  iovec *next = parts;
  int count = tailSize > 0 ? 3 : 2;
  while (count > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = (size_t)count;
    ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Fault(errno);
      Io ready = Await(fd, POLLOUT, deadline);
      if (ready != Io::kDone) return ready;
      continue;
    }
    // Past what went out: whole parts dropped, the first one left trimmed.
    size_t sent = (size_t)n;
    while (count > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char *>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
  return Io::kDone;
}

Io Receive(int fd, uint32_t *kind, Body *body, size_t limit, Clock::time_point deadline) {
  Header header{};
  Io io = ReadAll(fd, reinterpret_cast<char *>(&header), sizeof header, deadline);
  if (io != Io::kDone) return io;
  if (header.size > limit) return Io::kFailed;
  std::string bytes(header.size, '\0');
  io = ReadAll(fd, &bytes[0], bytes.size(), deadline);
  if (io != Io::kDone) return io;
  *kind = header.kind;
  *body = Body(std::move(bytes));
  return Io::kDone;
}

}  // namespace frames
}  // namespace web
}  // namespace rhl
