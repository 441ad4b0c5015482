#include "raw_client.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace raw_client {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? (int)left.count() : 0;
}

// Waits for `events` on fd until `deadline`.
bool Ready(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, MsLeft(deadline)) == 1;
}

// One response from the front of `data`, removed from it; false while it is
// not all there.
bool TakeResponse(std::string *data, bool head, Response *out) {
  size_t end = data->find("\r\n\r\n");
  if (end == std::string::npos) return false;
  Response r;
  std::string text = data->substr(0, end);
  size_t line = text.find("\r\n");
  std::string status = text.substr(0, line);
  if (status.compare(0, 5, "HTTP/") != 0 || status.size() < 12) return false;
  r.status = atoi(status.c_str() + 9);
  for (size_t from = line; from != std::string::npos && from < text.size();) {
    from += 2;
    size_t next = text.find("\r\n", from);
    std::string field =
        text.substr(from, next == std::string::npos ? std::string::npos : next - from);
    size_t colon = field.find(':');
    if (colon != std::string::npos) {
      std::string name = field.substr(0, colon);
      for (char &c : name) c = (char)tolower((unsigned char)c);
      size_t value = field.find_first_not_of(' ', colon + 1);
      r.headers[name] = value == std::string::npos ? "" : field.substr(value);
    }
    from = next;
  }
  size_t length = head || !r.headers.count("content-length")
                      ? 0
                      : strtoull(r.headers["content-length"].c_str(), nullptr, 10);
  if (data->size() < end + 4 + length) return false;
  r.body = data->substr(end + 4, length);
  data->erase(0, end + 4 + length);
  *out = std::move(r);
  return true;
}

}  // namespace

void RaiseFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 1 << 20 : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons((uint16_t)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
    close(fd);
    return -1;
  }
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  return fd;
}

bool SendAll(int fd, const std::string &bytes, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (size_t sent = 0; sent < bytes.size();) {
    if (!Ready(fd, POLLOUT, deadline)) return false;
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    sent += (size_t)n;
  }
  return true;
}

std::vector<Response> Read(int fd, size_t count, int timeoutMs, bool head) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<Response> responses;
  std::string data;
  char chunk[65536];
  while (responses.size() < count) {
    Response r;
    if (TakeResponse(&data, head, &r)) {
      responses.push_back(std::move(r));
      continue;
    }
    if (!Ready(fd, POLLIN, deadline)) break;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    data.append(chunk, (size_t)n);
  }
  return responses;
}

std::string ReadToClose(int fd, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string data;
  char chunk[65536];
  while (Ready(fd, POLLIN, deadline)) {
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    data.append(chunk, (size_t)n);
  }
  return data;
}

bool PeerClosed(int fd) {
  char byte;
  ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

Response SendBody(int fd, const std::string &head, size_t bodyBytes, bool chunked, int timeoutMs,
                  size_t *sent) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  *sent = 0;
  Response r;
  if (!SendAll(fd, head, timeoutMs)) return r;
  std::string chunk(1 << 16, '\0');
  if (chunked) chunk = "10000\r\n" + chunk + "\r\n";
  std::string data;
  char in[65536];
  while (Clock::now() < deadline) {
    pollfd p{fd, (short)(POLLIN | (*sent < bodyBytes ? POLLOUT : 0)), 0};
    if (poll(&p, 1, MsLeft(deadline)) != 1) break;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(fd, in, sizeof in, MSG_DONTWAIT);
      if (n > 0) {
        data.append(in, (size_t)n);
        if (TakeResponse(&data, false, &r)) return r;
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (n > 0) *sent += (size_t)n;
    }
  }
  TakeResponse(&data, false, &r);
  return r;
}

Response Fetch(int port, const std::string &request, int timeoutMs) {
  Response r;
  int fd = Connect(port);
  if (fd < 0) return r;
  if (SendAll(fd, request, timeoutMs)) {
    std::vector<Response> got = Read(fd, 1, timeoutMs, request.compare(0, 5, "HEAD ") == 0);
    if (!got.empty()) r = std::move(got[0]);
  }
  close(fd);
  return r;
}

std::string Get(const std::string &path, const std::string &host, const std::string &extra) {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "\r\n";
}

}  // namespace raw_client
