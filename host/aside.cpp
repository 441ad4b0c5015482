#include "aside.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "formats.h"

namespace rhl {
namespace {

// The image being written aside, for a signal to remove on the way out.
char gAsideImage[4096];

void RemoveOnSignal(int signal) {
  if (gAsideImage[0] != '\0') unlink(gAsideImage);
  _exit(128 + signal);
}

// "dir/name.ext" -> "dir/name" (the stem every companion's name starts with).
std::string Stem(const std::string &path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return path;
  return path.substr(0, dot);
}

std::string Folder(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// What follows the stem in the names of the stem's folder that begin with it.
std::vector<std::string> WithStem(const std::string &stem) {
  std::vector<std::string> names;
  std::string folder = Folder(stem);
  std::string lead = stem.substr(stem.rfind('/') + 1);
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.compare(0, lead.size(), lead) == 0)
      names.push_back(name.substr(lead.size()));
  }
  closedir(dir);
  return names;
}

}  // namespace

AsideOutput::AsideOutput(const std::string &path) : final_(path) {
  const std::string stem = Stem(path);
  const std::string extension = path.substr(stem.size());  // ".png", or ""
  const std::string folder = Folder(path);
  std::string templ = folder + "/." + stem.substr(stem.rfind('/') + 1) + ".rhl-XXXXXX" + extension;
  int fd = mkstemps(&templ[0], (int)extension.size());
  if (fd < 0) {
    error_ = "cannot write in " + folder + " (" + strerror(errno) + ")";
    return;
  }
  // The image gets the mode any new file gets, not the private one of a
  // reserved name.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  aside_ = templ;
  asideStem_ = templ.substr(0, templ.size() - extension.size());
  snprintf(gAsideImage, sizeof gAsideImage, "%s", aside_.c_str());
  signal(SIGINT, RemoveOnSignal);
  signal(SIGTERM, RemoveOnSignal);
  signal(SIGHUP, RemoveOnSignal);
}

AsideOutput::~AsideOutput() {
  if (!committed_) RemoveAside();
  gAsideImage[0] = '\0';
}

void AsideOutput::RemoveAside() {
  if (aside_.empty()) return;
  for (const std::string &suffix : WithStem(asideStem_)) unlink((asideStem_ + suffix).c_str());
}

std::string AsideOutput::Companion(const std::string &finalName) const {
  return asideStem_ + finalName.substr(Stem(final_).size());
}

bool AsideOutput::Commit(std::string *error) {
  const std::string &asideStem = asideStem_, finalStem = Stem(final_);
  const std::string extension = final_.substr(finalStem.size());
  std::vector<std::string> written = WithStem(asideStem);
  // What GDAL would read as part of the image at the final name.
  std::vector<std::string> companions = {extension + ".aux.xml", extension + ".msk",
                                         extension + ".ovr", ".wld", extension + "w",
                                         WorldFileName(final_).substr(finalStem.size())};
  for (const std::string &suffix : companions) {
    bool replaced = false;
    for (const std::string &w : written) replaced = replaced || w == suffix;
    if (!replaced) unlink((finalStem + suffix).c_str());
  }
  for (const std::string &suffix : written) {
    if (suffix == extension) continue;  // the image itself goes last
    if (rename((asideStem + suffix).c_str(), (finalStem + suffix).c_str()) != 0) {
      *error = "cannot put " + finalStem + suffix + " in place (" + strerror(errno) + ")";
      return false;
    }
  }
  if (rename(aside_.c_str(), final_.c_str()) != 0) {
    *error = "cannot put " + final_ + " in place (" + strerror(errno) + ")";
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace rhl
