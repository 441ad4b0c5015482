#include "serve_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <fstream>

#include "cpl_vsi.h"
#include "fixtures.h"
#include "gdal.h"

extern char **environ;

using fixtures::TempDir;

namespace serve_support {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t Spawn(const std::vector<std::string> &args, const std::string &tag) {
  std::vector<char *> argv;
  std::string exe = RHL_EXE;
  argv.push_back(&exe[0]);
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  std::string out = TempDir() + "/" + tag + ".out", err = TempDir() + "/" + tag + ".err";
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

int Wait(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

Outcome RunRhl(const std::vector<std::string> &args) {
  static int n = 0;
  std::string tag = "run" + std::to_string(n++);
  int status = Wait(Spawn(args, tag), 120);
  return {status, ReadAll(TempDir() + "/" + tag + ".out"), ReadAll(TempDir() + "/" + tag + ".err")};
}

// A running `rhl serve`: started on a free port, stopped by a signal.
Served::Served(std::vector<std::string> args) {
  static int n = 0;
  tag_ = "serve" + std::to_string(n++);
  args.insert(args.begin(), "serve");
  if (std::find(args.begin(), args.end(), "--port") == args.end()) {
    args.push_back("--port");
    args.push_back("0");
  }
  pid_ = Spawn(args, tag_);
  const std::string address = "open http://127.0.0.1:";
  for (int i = 0; pid_ > 0 && port_ == 0 && i < 600; ++i) {
    std::string out = ReadAll(TempDir() + "/" + tag_ + ".out");
    size_t at = out.find(address);
    if (at != std::string::npos && out.find("/ ", at) != std::string::npos) {
      port_ = atoi(out.c_str() + at + address.size());
    } else if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

std::string Served::LogOnceItSays(const std::string &text, size_t from) const {
  std::string log;
  for (int i = 0; i < 100; ++i) {
    std::string all = err();
    log = all.substr(std::min(from, all.size()));
    if (log.find(text) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return log;
}

Pixels ReadPng(const std::string &path) {
  GDALAllRegister();
  Pixels p;
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) return p;
  p.width = GDALGetRasterXSize(ds);
  p.height = GDALGetRasterYSize(ds);
  p.bands = GDALGetRasterCount(ds);
  p.data.resize((size_t)p.width * p.height * p.bands);
  if (GDALDatasetRasterIO(ds, GF_Read, 0, 0, p.width, p.height, p.data.data(), p.width, p.height,
                          GDT_Byte, p.bands, nullptr, p.bands, (GSpacing)p.bands * p.width,
                          1) != CE_None)
    p = Pixels{};
  GDALClose(ds);
  return p;
}

Pixels DecodePng(const std::string &bytes) {
  static int n = 0;
  std::string name = "/vsimem/serve-tile-" + std::to_string(n++) + ".png";
  VSIFCloseL(VSIFileFromMemBuffer(name.c_str(), (GByte *)bytes.data(), bytes.size(), FALSE));
  Pixels p = ReadPng(name);
  VSIUnlink(name.c_str());
  return p;
}

namespace {

// The state letter of process `pid` and its parent; false when it is gone.
bool ProcessState(pid_t pid, char *state, pid_t *parent) {
  std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  size_t name = stat.rfind(')');
  int ppid = 0;
  if (name == std::string::npos || sscanf(stat.c_str() + name + 1, " %c %d", state, &ppid) != 2)
    return false;
  *parent = ppid;
  return true;
}

}  // namespace

bool HasEnded(pid_t pid) {
  char state = 0;
  pid_t parent = 0;
  return !ProcessState(pid, &state, &parent) || state == 'Z' || state == 'X';
}

std::set<pid_t> Children(pid_t parent) {
  std::set<pid_t> found;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name), ppid = 0;
    char state = 0;
    if (pid > 0 && ProcessState(pid, &state, &ppid) && ppid == parent && state != 'Z' &&
        state != 'X')
      found.insert(pid);
  }
  closedir(proc);
  return found;
}

std::set<pid_t> ChildrenOnceThereAre(pid_t parent, size_t count) {
  std::set<pid_t> children;
  for (int i = 0; i < 600 && (children = Children(parent)).size() != count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return children;
}

bool EndsWithin(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 20 && !HasEnded(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return HasEnded(pid);
}

// How far a tile is from `view`: its top-left equals the view's pixels, opaque,
// and the rest is transparent. An empty string when it holds.
}  // namespace serve_support
