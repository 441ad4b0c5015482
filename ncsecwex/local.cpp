#include "local.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cpl_vsi.h"

namespace ncsecwex {
namespace {

std::string Quoted(const std::string &name) { return "'" + name + "'"; }

bool Holds(const std::string &name, const char *part) {
  return name.find(part) != std::string::npos;
}

// /proc/<self, thread-self or a number>/fd or /fd/...: a process's open files.
bool NamesProcessFiles(const std::string &name) {
  for (size_t at = name.find("/proc/"); at != std::string::npos; at = name.find("/proc/", at + 1)) {
    size_t fd = name.find('/', at + 6);
    if (fd == std::string::npos) return false;
    std::string process = name.substr(at + 6, fd - at - 6);
    bool known = process == "self" || process == "thread-self" ||
                 (!process.empty() && isdigit((unsigned char)process[0]));
    if (known && name.compare(fd, 3, "/fd") == 0 &&
        (fd + 3 == name.size() || name[fd + 3] == '/'))
      return true;
  }
  return false;
}

bool NamesStandardStreams(const std::string &name) {
  return Holds(name, "/vsistdin") || Holds(name, "/vsistdout") || Holds(name, "/dev/stdin") ||
         Holds(name, "/dev/stdout") || Holds(name, "/dev/stderr") || Holds(name, "/dev/fd/") ||
         NamesProcessFiles(name);
}

const char *KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a file";
}

}  // namespace

int RefusedLocalName(const std::string &name, std::string *reason) {
  if (NamesStandardStreams(name)) {
    *reason = Quoted(name) + " names the host's standard streams or a process's open files";
    return EPERM;
  }
  if (name.compare(0, 4, "/vsi") == 0) return 0;
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    if (errno != EACCES) return 0;  // perhaps a GDAL dataset name of another kind
    *reason = Quoted(name) + " lies behind a folder this process may not search";
    return EACCES;
  }
  if (S_ISDIR(st.st_mode)) return 0;  // some formats are folders
  if (!S_ISREG(st.st_mode)) {
    *reason = Quoted(name) + " is " + KindOf(st.st_mode) + ", not a regular file";
    return ESPIPE;
  }
  if (access(name.c_str(), R_OK) != 0) {
    *reason = Quoted(name) + " may not be read by this process";
    return EACCES;
  }
  return 0;
}

int LocalOpenError(const std::string &name, std::string *reason) {
  VSIStatBufL st;
  if (VSIStatL(name.c_str(), &st) != 0) return ENOENT;
  if (VSI_ISDIR(st.st_mode)) {
    *reason = Quoted(name) + " is a folder, not an image GDAL reads";
    return EISDIR;
  }
  return ENOTSUP;
}

}  // namespace ncsecwex
