#include "local.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "cpl_vsi.h"

namespace ncsecwex {
namespace {

// The kernel's process and system information: files that report no size
// and hold a process's environment, memory or the machine's settings.
constexpr long kProcMagic = 0x9fa0, kSysMagic = 0x62656572;

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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = (char)tolower((unsigned char)c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecoded(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low >= 0) {
      out += (char)(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The URL a name hands GDAL's HTTP layer at `at` (just past its prefix):
// the rest of the name, or for "/vsicurl?" its url= option.
std::string UrlAt(const std::string &name, size_t at, bool options) {
  if (!options) return name.substr(at);
  for (size_t p = at; p < name.size();) {
    size_t end = name.find('&', p);
    if (end == std::string::npos) end = name.size();
    if (name.compare(p, 4, "url=") == 0) return PercentDecoded(name.substr(p + 4, end - p - 4));
    p = end + 1;
  }
  return "";
}

// A name that has GDAL's HTTP layer (libcurl) read a file:// URL: libcurl
// opens the file itself, past every check of the library, and would wait
// on a FIFO for good. GDAL reads no image so anyway (a file has no HTTP
// status), so nothing is lost.
bool NamesLocalFileOverHttp(const std::string &name, std::string *url) {
  static const struct {
    const char *prefix;
    bool options;
  } kHttpPrefixes[] = {{"/vsicurl/", false}, {"/vsicurl?", true}, {"/vsicurl_streaming/", false},
                       {"/vsiwebhdfs/", false}};
  for (const auto &p : kHttpPrefixes) {
    size_t n = strlen(p.prefix);
    for (size_t at = name.find(p.prefix); at != std::string::npos; at = name.find(p.prefix, at + 1)) {
      std::string u = UrlAt(name, at + n, p.options);
      size_t start = u.find_first_not_of(" \t");
      if (start != std::string::npos && strncasecmp(u.c_str() + start, "file:", 5) == 0) {
        *url = u.substr(start);
        return true;
      }
    }
  }
  return false;
}

const char *KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a file";
}

}  // namespace

int RefusedByName(const std::string &text, std::string *reason) {
  if (NamesStandardStreams(text)) {
    *reason = Quoted(text) + " names the host's standard streams or a process's open files";
    return EPERM;
  }
  std::string url;
  if (NamesLocalFileOverHttp(text, &url)) {
    *reason = Quoted(text) + " has GDAL's HTTP layer read the local file " + Quoted(url) +
              ", which the library cannot check; name the file itself";
    return EPERM;
  }
  return 0;
}

int RefusedFile(const std::string &path, std::string *reason) {
  if (int error = RefusedByName(path, reason)) return error;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  if (!S_ISREG(st.st_mode)) {
    *reason = Quoted(path) + " is " + KindOf(st.st_mode) + ", not a regular file";
    return ESPIPE;
  }
  struct statfs fs;
  if (statfs(path.c_str(), &fs) == 0 && (fs.f_type == kProcMagic || fs.f_type == kSysMagic)) {
    *reason = Quoted(path) + " is the kernel's information on processes or the system, not an image";
    return EPERM;
  }
  return 0;
}

int RefusedLocalName(const std::string &name, std::string *reason) {
  if (int error = RefusedByName(name, reason)) return error;
  if (name.compare(0, 4, "/vsi") == 0) return 0;
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    if (errno != EACCES) return 0;  // perhaps a GDAL dataset name of another kind
    *reason = Quoted(name) + " lies behind a folder this process may not search";
    return EACCES;
  }
  if (int error = RefusedFile(name, reason)) return error;
  if (S_ISREG(st.st_mode) && access(name.c_str(), R_OK) != 0) {
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
