// Servers for the remote tests, all on loopback: nginx with the project's
// configuration (nginx.conf.in) in a temporary folder, its access log read
// back to count requests and bytes; and a fault server of the test's own
// that serves a file, stays silent, or cuts bodies short, as a test says.
#ifndef RHL_TESTS_REMOTE_SUPPORT_H
#define RHL_TESTS_REMOTE_SUPPORT_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace remote {

// One line of nginx's access log.
struct Request {
  std::string method, uri;
  int status = 0;
  long bytes = 0;  // body bytes sent
  std::string range;
};

// Requests and body bytes in all.
struct Traffic {
  size_t requests = 0;
  long bytes = 0;
};
Traffic Total(const std::vector<Request> &requests);

class Nginx {
 public:
  // The running server, started on first use; null when nginx or openssl is
  // missing or nginx would not start (then *why says so).
  static Nginx *Shared(std::string *why);

  Nginx() = default;
  Nginx(const Nginx &) = delete;
  Nginx &operator=(const Nginx &) = delete;
  ~Nginx();  // stops nginx by its pid and removes its folder

  std::string Url(const std::string &path) const;     // http://127.0.0.1:port/path
  std::string TlsUrl(const std::string &path) const;  // https://...
  // The certificate the https port shows, made when the server started.
  std::string Certificate() const { return dir_ + "/cert.pem"; }
  // Puts a copy of `file` at `name` under the server's root; its URL. A name
  // published again is replaced as a whole (a new file moved into place).
  std::string Publish(const std::string &name, const std::string &file);

  // The requests logged since the last ClearLog, once nginx has written them.
  std::vector<Request> Requests() const;
  void ClearLog();

 private:
  bool Start(std::string *why);

  std::string dir_;
  int port_ = 0, tlsPort_ = 0;
  pid_t pid_ = -1;
};

class FaultServer {
 public:
  enum class Mode {
    kServe,      // HEAD and GET with ranges, kept alive
    kSilent,     // takes connections and requests and never answers
    kCutBodies,  // answers HEAD; a GET's body stops half way and the connection closes
  };
  // Serves the bytes of `file` (any name) on a free loopback port.
  explicit FaultServer(const std::string &file, Mode mode = Mode::kServe);
  FaultServer(const FaultServer &) = delete;
  FaultServer &operator=(const FaultServer &) = delete;
  ~FaultServer();

  void SetMode(Mode mode) { mode_ = mode; }
  std::string Url(const std::string &name = "image.tif") const;
  int Requests() const { return requests_; }

 private:
  struct Client {
    int fd;
    std::string input;
  };
  void Loop();
  bool Answer(Client &client);  // false: close the connection

  std::string bytes_;
  std::atomic<Mode> mode_;
  std::atomic<int> requests_{0};
  int listener_ = -1, wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
};

// A loopback port nothing listens on.
int ClosedPort();
// A loopback port free now (a server binds it itself a moment later).
int FreePort();
// Whether something accepts connections on the loopback port.
bool Accepts(int port);
// Stops the server `pid` (SIGTERM, then waits for it) and removes its
// folder `dir`; either may be absent (-1, "").
void StopServer(pid_t pid, const std::string &dir);
// A program on PATH, or in the folders where Debian puts daemons; "" when
// there is none.
std::string Program(const std::string &name);

// Test images, made once a run from the bundled sample: a GeoTIFF of
// 4096 x 2048 in 256 x 256 JPEG tiles with overviews down to 256 x 128, and
// a JPEG 2000 of 2048 x 1024 ("" where GDAL has no JPEG 2000 driver).
std::string TiledTiff();
std::string Jpeg2000();

}  // namespace remote

#endif
