// An HTTP client on bare sockets, for the tests that must send what no
// well-behaved client sends: heads a byte at a time, pipelined requests,
// bodies where none is due, connections held open and idle.
#ifndef RHL_RAW_CLIENT_H
#define RHL_RAW_CLIENT_H

#include <map>
#include <string>
#include <vector>

namespace raw_client {

// Raises this process's limit of open files as far as allowed (the tests
// hold hundreds of connections).
void RaiseFileLimit();

// A blocking connection to 127.0.0.1:port; -1 on failure.
int Connect(int port);
// All of `bytes`, or false (the peer closed, or it took over `timeoutMs`).
bool SendAll(int fd, const std::string &bytes, int timeoutMs = 5000);

struct Response {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Reads `count` responses (framed by Content-Length; `head` for answers to
// HEAD, which have none) within `timeoutMs`: fewer where the peer closed or
// time ran out.
std::vector<Response> Read(int fd, size_t count, int timeoutMs, bool head = false);
// What comes until the peer closes or `timeoutMs` passes.
std::string ReadToClose(int fd, int timeoutMs);
// Whether the peer has closed `fd` (reads nothing, waits for nothing).
bool PeerClosed(int fd);

// Sends `head`, then up to `bodyBytes` zero bytes as its body (chunked
// where `chunked`), reading all the while, as a client does that expects
// an early answer; stops at the answer, a close or `timeoutMs`. *sent is the
// body's bytes that went out.
Response SendBody(int fd, const std::string &head, size_t bodyBytes, bool chunked, int timeoutMs,
                  size_t *sent);

// One request on a new connection, and its answer.
Response Fetch(int port, const std::string &request, int timeoutMs = 5000);
// "GET path HTTP/1.1" with Host and any extra header lines.
std::string Get(const std::string &path, const std::string &host = "localhost",
                const std::string &extra = "");

}  // namespace raw_client

#endif
