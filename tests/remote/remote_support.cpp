#include "remote_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "cpl_conv.h"
#include "fixtures.h"
#include "gdal.h"
#include "rhl_run.h"

namespace remote {
namespace {

// Short limits, set as a user would set them (in the environment, before
// GDAL reads them, and only where not set already), so that a fault costs a
// second or two; RHL_REMOTE_LIBRARY_LIMITS leaves the library's own.
struct ShortLimits {
  ShortLimits() {
    if (getenv("RHL_REMOTE_LIBRARY_LIMITS") != nullptr) return;
    setenv("GDAL_HTTP_LOW_SPEED_TIME", "1", 0);
    setenv("GDAL_HTTP_CONNECTTIMEOUT", "2", 0);
    setenv("GDAL_HTTP_MAX_RETRY", "0", 0);
  }
} gShortLimits;

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int Listener(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, (sockaddr *)&address, size) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, (sockaddr *)&address, &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

void Replace(std::string *text, const std::string &from, const std::string &to) {
  for (size_t at; (at = text->find(from)) != std::string::npos;) text->replace(at, from.size(), to);
}

bool SendAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= (size_t)sent;
  }
  return true;
}

}  // namespace

// A port free now (nginx binds it itself a moment later).
int FreePort() {
  int port = 0, fd = Listener(&port);
  if (fd >= 0) close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons((uint16_t)port);
  bool ok = connect(fd, (sockaddr *)&address, sizeof address) == 0;
  close(fd);
  return ok;
}

// A program on PATH, or in the folders where Debian puts daemons.
std::string Program(const std::string &name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/usr/local/sbin:/sbin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

Traffic Total(const std::vector<Request> &requests) {
  Traffic t;
  for (const Request &r : requests) {
    ++t.requests;
    t.bytes += r.bytes;
  }
  return t;
}

Nginx *Nginx::Shared(std::string *why) {
  static std::unique_ptr<Nginx> server;
  static std::string failure;
  static bool tried = false;
  if (!tried) {
    tried = true;
    std::unique_ptr<Nginx> started(new Nginx);
    if (started->Start(&failure)) server = std::move(started);
  }
  *why = failure;
  return server.get();
}

bool Nginx::Start(std::string *why) {
  std::string nginx = Program("nginx"), openssl = Program("openssl");
  if (nginx.empty() || openssl.empty()) {
    *why = std::string(nginx.empty() ? "nginx" : "openssl") +
           " is not installed (scripts/install-deps installs nginx-light and openssl)";
    return false;
  }
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/rhl-remote-XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    *why = "cannot make a folder for nginx";
    return false;
  }
  dir_ = templ;
  for (const char *sub : {"/www", "/logs", "/tmp"}) mkdir((dir_ + sub).c_str(), 0700);
  std::string cert = openssl + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1" +
                     " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" + dir_ +
                     "/key.pem' -out '" + dir_ + "/cert.pem' >'" + dir_ + "/logs/openssl.log' 2>&1";
  if (system(cert.c_str()) != 0) {
    *why = "openssl could not make a certificate: " + Slurp(dir_ + "/logs/openssl.log");
    return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    tlsPort_ = FreePort();
    std::string conf = Slurp(REMOTE_NGINX_CONF);
    Replace(&conf, "@DIR@", dir_);
    Replace(&conf, "@PORT@", std::to_string(port_));
    Replace(&conf, "@TLS_PORT@", std::to_string(tlsPort_));
    std::ofstream(dir_ + "/nginx.conf") << conf;
    // Everything the child needs is made before it is forked.
    std::string log = dir_ + "/logs/nginx.out", confPath = dir_ + "/nginx.conf",
                errors = dir_ + "/logs/error.log";
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      execl(nginx.c_str(), "nginx", "-p", dir_.c_str(), "-c", confPath.c_str(), "-e",
            errors.c_str(), (char *)nullptr);
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // it gave up
      if (Accepts(port_) && Accepts(tlsPort_)) return true;
      usleep(20000);
    }
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    *why = "nginx did not start: " + Slurp(log) + Slurp(dir_ + "/logs/error.log");
  }
  return false;
}

void StopServer(pid_t pid, const std::string &dir) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
  }
  if (!dir.empty()) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) { /* best effort */ }
  }
}

Nginx::~Nginx() { StopServer(pid_, dir_); }

std::string Nginx::Url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::string Nginx::TlsUrl(const std::string &path) const {
  return "https://127.0.0.1:" + std::to_string(tlsPort_) + "/" + path;
}

std::string Nginx::Publish(const std::string &name, const std::string &file) {
  std::string target = dir_ + "/www/" + name, aside = dir_ + "/www/.incoming";
  std::ofstream(aside, std::ios::binary) << Slurp(file);
  rename(aside.c_str(), target.c_str());
  return Url(name);
}

std::vector<Request> Nginx::Requests() const {
  // nginx logs a request as it finishes it: wait until the log stops growing.
  std::string log = dir_ + "/logs/access.log";
  off_t size = -1;
  for (int stable = 0; stable < 2;) {
    struct stat st;
    off_t now = stat(log.c_str(), &st) == 0 ? st.st_size : 0;
    stable = now == size ? stable + 1 : 0;
    size = now;
    usleep(30000);
  }
  std::vector<Request> requests;
  std::stringstream lines(Slurp(log));
  for (std::string line; std::getline(lines, line);) {
    Request r;
    std::stringstream fields(line);
    fields >> r.method >> r.uri >> r.status >> r.bytes >> r.range;
    if (r.range.size() >= 2) r.range = r.range.substr(1, r.range.size() - 2);
    if (r.range == "-") r.range.clear();
    requests.push_back(r);
  }
  return requests;
}

void Nginx::ClearLog() {
  Requests();  // what was on its way is written first
  if (truncate((dir_ + "/logs/access.log").c_str(), 0) != 0) { /* no log yet */ }
}

FaultServer::FaultServer(const std::string &file, Mode mode) : bytes_(Slurp(file)), mode_(mode) {
  listener_ = Listener(&port_);
  if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  thread_ = std::thread(&FaultServer::Loop, this);
}

FaultServer::~FaultServer() {
  if (write(wake_[1], "x", 1) != 1) { /* the loop ends at its next poll anyway */ }
  thread_.join();
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string FaultServer::Url(const std::string &name) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void FaultServer::Loop() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Client &c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, ""});
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Client &c = clients[i - 2];
      char buffer[4096];
      ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
      bool keep = got > 0;
      if (keep) {
        c.input.append(buffer, (size_t)got);
        keep = Answer(c);
      }
      if (!keep) {
        close(c.fd);
        c.fd = -1;
      }
    }
    for (size_t i = clients.size(); i-- > 0;)
      if (clients[i].fd < 0) clients.erase(clients.begin() + (long)i);
  }
  for (const Client &c : clients) close(c.fd);
}

bool FaultServer::Answer(Client &c) {
  for (size_t end; (end = c.input.find("\r\n\r\n")) != std::string::npos;) {
    std::string head = c.input.substr(0, end);
    c.input.erase(0, end + 4);
    ++requests_;
    Mode mode = mode_;
    if (mode == Mode::kSilent) continue;
    bool isHead = head.compare(0, 5, "HEAD ") == 0;
    size_t size = bytes_.size(), first = 0, last = size - 1;
    bool ranged = false;
    for (size_t at = 0; (at = head.find("\r\n", at)) != std::string::npos;) {
      at += 2;
      if (strncasecmp(head.c_str() + at, "Range: bytes=", 13) != 0) continue;
      ranged = true;
      first = strtoull(head.c_str() + at + 13, nullptr, 10);
      const char *dash = strchr(head.c_str() + at + 13, '-');
      if (dash != nullptr && dash[1] >= '0' && dash[1] <= '9') last = strtoull(dash + 1, nullptr, 10);
    }
    last = std::min(last, size - 1);
    std::string reply;
    if (ranged && first >= size) {
      reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
      if (!SendAll(c.fd, reply.data(), reply.size())) return false;
      continue;
    }
    size_t length = last - first + 1;
    reply = std::string(ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n") +
            (ranged ? "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                          "/" + std::to_string(size) + "\r\n"
                    : "") +
            "Content-Length: " + std::to_string(length) +
            "\r\nAccept-Ranges: bytes\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n\r\n";
    if (!SendAll(c.fd, reply.data(), reply.size())) return false;
    if (isHead) continue;
    bool cut = mode == Mode::kCutBodies;
    if (!SendAll(c.fd, bytes_.data() + first, cut ? length / 2 : length) || cut) return false;
  }
  return true;
}

int ClosedPort() { return FreePort(); }

std::string TiledTiff() {
  static std::string path;
  if (path.empty()) {
    GDALAllRegister();
    std::string made = fixtures::TempDir() + "/remote.tif";
    rhltest::Translate(REMOTE_SAMPLE, made,
                       {"-outsize", "4096", "2048", "-r", "bilinear", "-co", "TILED=YES", "-co",
                        "COMPRESS=JPEG", "-co", "PHOTOMETRIC=YCBCR"});
    GDALDatasetH ds = GDALOpen(made.c_str(), GA_Update);
    int levels[] = {2, 4, 8, 16};
    CPLSetThreadLocalConfigOption("COMPRESS_OVERVIEW", "JPEG");
    CPLSetThreadLocalConfigOption("PHOTOMETRIC_OVERVIEW", "YCBCR");
    CPLErr built = ds != nullptr ? GDALBuildOverviews(ds, "AVERAGE", 4, levels, 0, nullptr,
                                                      nullptr, nullptr)
                                 : CE_Failure;
    CPLSetThreadLocalConfigOption("COMPRESS_OVERVIEW", nullptr);
    CPLSetThreadLocalConfigOption("PHOTOMETRIC_OVERVIEW", nullptr);
    GDALClose(ds);
    if (built != CE_None) throw std::runtime_error("cannot make " + made);
    path = made;
  }
  return path;
}

std::string Jpeg2000() {
  static std::string path;
  GDALAllRegister();
  if (path.empty() && GDALGetDriverByName("JP2OpenJPEG") != nullptr) {
    std::string made = fixtures::TempDir() + "/remote.jp2";
    rhltest::Translate(REMOTE_SAMPLE, made, {"-of", "JP2OpenJPEG", "-co", "QUALITY=50"});
    path = made;
  }
  return path;
}

}  // namespace remote
