// rhl serve and rhl render run as processes for the serve tests, and the
// PNGs they make read back through GDAL.
#ifndef RHL_SERVE_SUPPORT_H
#define RHL_SERVE_SUPPORT_H

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <httplib.h>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace serve_support {

std::string ReadAll(const std::string &path);

// rhl with `args`, its output and errors going to files named after `tag`
// in the scratch folder.
pid_t Spawn(const std::vector<std::string> &args, const std::string &tag);

// The exit status, or -1 when the process does not end within `seconds`
// (or ends by a signal).
int Wait(pid_t pid, int seconds);

struct Outcome {
  int status;
  std::string out, err;
};
Outcome RunRhl(const std::vector<std::string> &args);

// A running `rhl serve`: started on a free port, stopped by a signal.
class Served {
 public:
  // Starts `rhl serve args...` (on --port 0 unless args name a port) and
  // waits for the address it prints; port() is 0 when it never came.
  explicit Served(std::vector<std::string> args);
  ~Served() {
    if (pid_ > 0) Stop(SIGTERM);
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Its exit status after `signal`.
  int Stop(int signal) {
    kill(pid_, signal);
    int status = Wait(pid_, 60);
    pid_ = -1;
    return status;
  }
  std::string out() const { return ReadAll(fixtures::TempDir() + "/" + tag_ + ".out"); }
  std::string err() const { return ReadAll(fixtures::TempDir() + "/" + tag_ + ".err"); }
  // The log from byte `from` on, once it holds `text` (a request is logged
  // after its response has gone out) or after a few seconds.
  std::string LogOnceItSays(const std::string &text, size_t from = 0) const;
  httplib::Result Get(const std::string &path) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_url_encode(false);  // the path goes out exactly as written
    return client.Get(path.c_str());
  }

 private:
  std::string tag_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A PNG's pixels as GDAL reads them: all bands, interleaved.
struct Pixels {
  int width = 0, height = 0, bands = 0;
  std::vector<uint8_t> data;
  const uint8_t *at(int x, int y) const { return &data[((size_t)y * width + x) * bands]; }
};

// Processes, as /proc shows them: whether `pid` has ended (gone, or a
// zombie no one has reaped yet); the running children of `parent`, and
// those once there are `count` of them (or after 30 s); whether `pid` ends
// within `seconds`.
bool HasEnded(pid_t pid);
std::set<pid_t> Children(pid_t parent);
std::set<pid_t> ChildrenOnceThereAre(pid_t parent, size_t count);
bool EndsWithin(pid_t pid, int seconds);

Pixels ReadPng(const std::string &path);
Pixels DecodePng(const std::string &bytes);

}  // namespace serve_support

#endif
