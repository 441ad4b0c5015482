#include "scaleout_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "fixtures.h"
#include "remote_support.h"
#include "serve_support.h"

extern char **environ;

namespace scaleout {
namespace {

// `argv` as a process whose output and errors go to `log`.
pid_t Start(std::vector<std::string> argv, const std::string &log) {
  std::vector<char *> args;
  for (std::string &a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &files, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

std::string TempFolder(const std::string &name) {
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  return mkdtemp(&templ[0]) != nullptr ? templ : "";
}

}  // namespace

std::string Missing() {
  if (remote::Program("nginx").empty())
    return "nginx is not installed (scripts/install-deps installs nginx-light)";
  if (remote::Program("wrk").empty()) return "wrk is not installed (scripts/install-deps)";
  return "";
}

Front::Front(const std::vector<int> &ports, bool cache) {
  dir_ = TempFolder("rhl-front");
  if (dir_.empty()) {
    why_ = "cannot make a folder for nginx";
    return;
  }
  for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
    port_ = remote::FreePort();
    std::vector<std::string> argv = {"/bin/bash", NGINX_FRONT, dir_, std::to_string(port_)};
    for (int p : ports) argv.push_back(std::to_string(p));
    if (!cache) argv.push_back("--no-cache");
    std::string log = dir_ + "/front.log";
    pid_ = Start(argv, log);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pid_ > 0 && !remote::Accepts(port_)) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        why_ = "nginx did not start: " + serve_support::ReadAll(log) +
               serve_support::ReadAll(dir_ + "/logs/error.log");
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
}

Front::~Front() { remote::StopServer(pid_, dir_); }

std::string Front::Url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<Logged> Front::Log() const {
  // nginx logs a request as it finishes it: wait until the log stops growing.
  std::string path = dir_ + "/logs/access.log", text;
  for (int stable = 0; stable < 2;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::string now = serve_support::ReadAll(path);
    stable = now == text ? stable + 1 : 0;
    text = now;
  }
  // time status addr[, addr...] "status[, status...]" cache uri
  std::vector<Logged> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    Logged l;
    size_t open = line.find(" \""), close = line.find("\" ", open + 2);
    if (open == std::string::npos || close == std::string::npos) continue;
    std::stringstream head(line.substr(0, open));
    head >> l.at >> l.status;
    for (std::string address; head >> address;) {
      size_t colon = address.rfind(':');
      if (colon != std::string::npos) l.instances.push_back(atoi(address.c_str() + colon + 1));
    }
    l.statuses = line.substr(open + 2, close - open - 2);
    std::stringstream tail(line.substr(close + 2));
    tail >> l.cache >> l.uri;
    lines.push_back(l);
  }
  return lines;
}

Wrk::Wrk(const std::string &url, const std::vector<std::string> &paths, int connections,
         int seconds) {
  static int n = 0;
  std::string base = fixtures::TempDir() + "/wrk" + std::to_string(n++);
  std::ofstream list(base + ".paths");
  for (const std::string &p : paths) list << p << "\n";
  list.close();
  out_ = base + ".out";
  // A generous timeout: a slow answer is not a failure here, a lost one is.
  pid_ = Start({remote::Program("wrk"), "-t", "2", "-c", std::to_string(connections), "-d",
                std::to_string(seconds) + "s", "--timeout", "30s", "-s", WRK_PATHS_LUA, url, "--",
                base + ".paths"},
               out_);
}

Wrk::~Wrk() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

Load Wrk::Finish() {
  Load load;
  if (pid_ <= 0) return load;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  load.output = serve_support::ReadAll(out_);
  size_t at = load.output.find("RESULT ");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || at == std::string::npos) return load;
  std::stringstream fields(load.output.substr(at + 7));
  fields >> load.requests >> load.notOk >> load.connectErrors >> load.readErrors >>
      load.writeErrors >> load.timeouts >> load.seconds;
  load.ran = !fields.fail();
  return load;
}

}  // namespace scaleout
