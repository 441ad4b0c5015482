#include "aside.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "place.h"

namespace rhl {
namespace {

// The hidden files being written, for a signal to remove on the way out.
constexpr int kSlots = 4;
char gRemoveOnSignal[kSlots][4096];

void RemoveOnSignal(int signal) {
  for (int i = 0; i < kSlots; ++i)
    if (gRemoveOnSignal[i][0] != '\0') unlink(gRemoveOnSignal[i]);
  _exit(128 + signal);
}

int TakeSlot(const std::string &path) {
  for (int i = 0; i < kSlots; ++i)
    if (gRemoveOnSignal[i][0] == '\0' && path.size() < sizeof gRemoveOnSignal[i]) {
      memcpy(gRemoveOnSignal[i], path.c_str(), path.size() + 1);
      signal(SIGINT, RemoveOnSignal);
      signal(SIGTERM, RemoveOnSignal);
      signal(SIGHUP, RemoveOnSignal);
      return i;
    }
  return -1;
}

std::string Folder(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// "dir/name.ext" -> "dir/name" (the stem every companion's name starts with).
std::string Stem(const std::string &path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return path;
  return path.substr(0, dot);
}

// This machine's name as it goes into hidden names: letters, digits, dots
// and underscores, at most 32.
const std::string &HostTag() {
  static const std::string tag = [] {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    std::string t;
    for (const char *p = name; *p != '\0' && t.size() < 32; ++p)
      t += isalnum((unsigned char)*p) || *p == '.' ? *p : '_';
    return t.empty() ? std::string("host") : t;
  }();
  return tag;
}

// What the hidden names of this host's rhl processes hold after ".rhl-".
std::string Marker() { return ".rhl-" + HostTag() + "-"; }

// The process id in a hidden name of this host's, or 0 when `name` is not
// one: "." NAME ".rhl-" HOST "-" PID "-" six letters or digits, then
// anything (the extension, a companion's suffix).
long LeftoverPid(const std::string &name) {
  const std::string marker = Marker();
  if (name.empty() || name[0] != '.') return 0;
  for (size_t at = name.find(marker, 1); at != std::string::npos; at = name.find(marker, at + 1)) {
    size_t p = at + marker.size(), digits = p;
    while (digits < name.size() && isdigit((unsigned char)name[digits])) ++digits;
    if (digits == p || digits - p > 9 || digits >= name.size() || name[digits] != '-') continue;
    size_t r = digits + 1, n = 0;
    while (r + n < name.size() && n < 6 && isalnum((unsigned char)name[r + n])) ++n;
    if (n == 6) return atol(name.substr(p, digits - p).c_str());
  }
  return 0;
}

// A name ending in ".rhl-kept" holds a user's earlier file while an output
// goes in place: it may go only while the file has another name too.
bool Disposable(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string kept = ".rhl-kept";
  bool keeps = path.size() >= kept.size() &&
               path.compare(path.size() - kept.size(), kept.size(), kept) == 0;
  return !keeps || st.st_nlink > 1;
}

bool Runs(long pid) {
  if (pid == (long)getpid()) return false;  // ours is alive: the name is a dead one's
  return kill((pid_t)pid, 0) == 0 || errno != ESRCH;
}

}  // namespace

void RemoveLeftovers(const std::string &folder) {
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> gone;
  while (dirent *e = readdir(dir)) {
    long pid = LeftoverPid(e->d_name);
    if (pid > 0 && !Runs(pid)) gone.push_back(folder + "/" + e->d_name);
  }
  closedir(dir);
  for (const std::string &path : gone)
    if (Disposable(path)) unlink(path.c_str());
}

HiddenFile::HiddenFile(const std::string &path, const std::string &extension) {
  const std::string folder = Folder(path);
  std::string lead = Base(Stem(path));
  std::string templ = folder + "/." + lead + Marker() + std::to_string(getpid()) + "-XXXXXX" +
                      extension;
  int fd = mkstemps(&templ[0], (int)extension.size());
  if (fd < 0) {
    error_ = "cannot write in " + folder + " (" + strerror(errno) + ")";
    return;
  }
  // The image gets the mode any new file gets, not the private one of a
  // reserved name.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) { /* the reserved name's mode stays */ }
  close(fd);
  path_ = templ;
  stem_ = templ.substr(0, templ.size() - extension.size());
  slot_ = TakeSlot(path_);
}

HiddenFile::~HiddenFile() {
  if (!kept_) Remove();
  if (slot_ >= 0) gRemoveOnSignal[slot_][0] = '\0';
}

void HiddenFile::Remove() const {
  if (path_.empty()) return;
  const std::string folder = Folder(stem_), lead = Base(stem_);
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(dir))
    if (strncmp(e->d_name, lead.c_str(), lead.size()) == 0) names.push_back(e->d_name);
  closedir(dir);
  for (const std::string &name : names)
    if (Disposable(folder + "/" + name)) unlink((folder + "/" + name).c_str());
}

namespace {
const std::string &AfterSweeping(const std::string &path) {
  RemoveLeftovers(Folder(path));
  return path;
}
}  // namespace

AsideOutput::AsideOutput(const std::string &path)
    : final_(path), image_(AfterSweeping(path), path.substr(Stem(path).size())) {}

std::string AsideOutput::Companion(const std::string &finalName) const {
  return image_.stem() + finalName.substr(Stem(final_).size());
}

bool AsideOutput::Commit(std::string *error) {
  const std::string finalStem = Stem(final_), folder = Folder(image_.stem());
  const std::string lead = Base(image_.stem());
  // What was written aside: the image and the companions GDAL or rhl wrote
  // beside it, each to go to the output's stem and the same suffix.
  std::vector<Move> moves;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = "cannot list " + folder + " (" + strerror(errno) + ")";
    return false;
  }
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.compare(0, lead.size(), lead) != 0 || folder + "/" + name == image_.path()) continue;
    moves.push_back(Move{folder + "/" + name, finalStem + name.substr(lead.size())});
  }
  closedir(dir);
  std::sort(moves.begin(), moves.end(), [](const Move &a, const Move &b) { return a.to < b.to; });
  moves.push_back(Move{image_.path(), final_});  // the image last
  // Companions an earlier output left that GDAL would read with the new one.
  std::vector<std::string> stale;
  for (const std::string &name : CompanionNames(final_)) {
    bool written = false;
    for (const Move &m : moves) written = written || m.to == name;
    if (!written) stale.push_back(name);
  }
  if (!PlaceTogether(moves, stale, image_.stem() + ".keep", error)) return false;
  image_.Keep();
  return true;
}

}  // namespace rhl
