// rhl serve scaled out for the tests: nginx with the shipped configuration
// in front of instances on loopback (tests/remote/nginx-front), its access
// log read back, and wrk put on it with a list of paths.
#ifndef RHL_TESTS_REMOTE_SCALEOUT_SUPPORT_H
#define RHL_TESTS_REMOTE_SCALEOUT_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace scaleout {

// One line of the front's access log.
struct Logged {
  double at = 0;  // when nginx finished it: seconds since 1970
  int status = 0;
  std::vector<int> instances;  // the ports asked, in turn (empty: none was)
  std::string statuses;        // theirs, as nginx logs them: "502, 200"
  std::string cache;           // HIT, MISS, ... or "-"
  std::string uri;
};

class Front {
 public:
  // nginx on a free loopback port in front of the instances on `ports`, with
  // its cache for maps and tiles on or off; started() false (and why() says
  // so) when it would not start.
  Front(const std::vector<int> &ports, bool cache);
  Front(const Front &) = delete;
  Front &operator=(const Front &) = delete;
  ~Front();  // stops nginx and removes its folder

  bool started() const { return pid_ > 0; }
  const std::string &why() const { return why_; }
  int port() const { return port_; }
  std::string Url(const std::string &path = "/") const;
  // Every request logged so far, once nginx has written them.
  std::vector<Logged> Log() const;

 private:
  std::string dir_, why_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// What wrk-paths.lua reports at the end of a run.
struct Load {
  bool ran = false;
  std::string output;  // wrk's whole output, for messages
  long requests = 0, notOk = 0, connectErrors = 0, readErrors = 0, writeErrors = 0, timeouts = 0;
  double seconds = 0;
};

// wrk running on `url` over `paths` (one request each in turn) with
// `connections` on two threads for `seconds`.
class Wrk {
 public:
  Wrk(const std::string &url, const std::vector<std::string> &paths, int connections,
      int seconds);
  Wrk(const Wrk &) = delete;
  Wrk &operator=(const Wrk &) = delete;
  ~Wrk();
  // Waits for the end of the run and reads the report.
  Load Finish();

 private:
  std::string out_;
  pid_t pid_ = -1;
};

// What the front needs that may be missing: "" when nginx and wrk are both
// there, else which and how to get them.
std::string Missing();

}  // namespace scaleout

#endif
