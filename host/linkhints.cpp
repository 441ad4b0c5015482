#include "linkhints.h"

#include <ctype.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rhl {
namespace {

constexpr size_t kMostLink = 65536;  // as the module reads links

// The link's text as the module hands it on: up to the first zero byte,
// trailing white space trimmed (never the first character). Empty when the
// file is not a regular file of link size.
std::string LinkText(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  std::string text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size <= kMostLink) {
    char buffer[4096];
    ssize_t n;
    while (text.size() <= kMostLink && (n = read(fd, buffer, sizeof buffer)) > 0)
      text.append(buffer, (size_t)n);
  }
  close(fd);
  text = text.substr(0, text.find('\0'));
  while (text.size() > 1 && isspace((unsigned char)text.back())) text.pop_back();
  return text;
}

bool BeginsNoCase(const std::string &text, const char *lead) {
  return strncasecmp(text.c_str(), lead, strlen(lead)) == 0;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && isspace((unsigned char)text.back())) text.pop_back();
  size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? "" : text.substr(first);
}

// The URL line of an Internet shortcut, or "" without one.
std::string ShortcutUrl(const std::string &text) {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (BeginsNoCase(line, "URL=")) return Trimmed(line.substr(4));
  }
  return "";
}

// A file:// address as the path it names: %XX decoded, a host of
// "localhost" dropped, and "/C:/..." read as the drive path "C:/...".
std::string FilePath(const std::string &address) {
  std::string rest = address.substr(strlen("file://")), path;
  if (BeginsNoCase(rest, "localhost/")) rest.erase(0, strlen("localhost"));
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && isxdigit((unsigned char)rest[i + 1]) &&
        isxdigit((unsigned char)rest[i + 2])) {
      path += (char)strtol(rest.substr(i + 1, 2).c_str(), nullptr, 16);
      i += 2;
    } else {
      path += rest[i];
    }
  }
  if (path.size() >= 3 && path[0] == '/' && isalpha((unsigned char)path[1]) && path[2] == ':')
    path.erase(0, 1);
  return path;
}

bool WindowsPath(const std::string &name) {
  bool drive = name.size() >= 3 && isalpha((unsigned char)name[0]) && name[1] == ':' &&
               (name[2] == '\\' || name[2] == '/');
  return drive || name.find('\\') != std::string::npos;
}

// A name GDAL reads as something other than a file: an address, a GDAL
// path, a driver's connection string ("GPKG:...").
bool NotAFileName(const std::string &name) {
  size_t colon = name.find(':'), slash = name.find('/');
  return BeginsNoCase(name, "/vsi") ||
         (colon != std::string::npos && (slash == std::string::npos || colon < slash));
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The folder's name with links and dots resolved, where it exists.
std::string Real(const std::string &folder) {
  char real[PATH_MAX];
  return realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder;
}

}  // namespace

std::vector<std::string> LinkHints(const std::string &link, const std::string &cwd) {
  std::vector<std::string> hints;
  std::string name = LinkText(link);
  const std::string quoted = "'" + link + "'";
  if (name.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    hints.push_back("the link file " + quoted +
                    " begins with a UTF-8 byte-order mark (EF BB BF), which the module hands on "
                    "as part of the name: save the link without one (as ANSI, or UTF-8 without "
                    "a byte-order mark)");
    name.erase(0, 3);
  }
  if (BeginsNoCase(name, "[InternetShortcut]")) {
    std::string url = ShortcutUrl(name);
    if (url.empty()) {
      hints.push_back("the link file " + quoted +
                      " is a Windows Internet shortcut ([InternetShortcut]) without a URL line; "
                      "the module takes a link's whole text as the name: write the image's name "
                      "alone in it");
      return hints;
    }
    hints.push_back("the link file " + quoted +
                    " is a Windows Internet shortcut ([InternetShortcut]), and the module takes "
                    "its whole text as the name; its URL line names '" +
                    url + "': a link file holds the name alone");
    name = url;
  }
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    hints.push_back("the name in the link file " + quoted +
                    " is in double quotes, which the module keeps as part of it: write it "
                    "without them");
    name = name.substr(1, name.size() - 2);
  }
  if (BeginsNoCase(name, "file://")) {
    std::string path = FilePath(name);
    hints.push_back("the name '" + name +
                    "' is a file:// address, which the library opens as a file name: write the "
                    "path, '" +
                    path + "'");
    name = path;
  }
  if (WindowsPath(name)) {
    hints.push_back("the name '" + name +
                    "' is a Windows path, which names no file here: write this system's path to "
                    "the image");
    return hints;
  }
  if (!name.empty() && name[0] != '/' && !NotAFileName(name)) {
    std::string folder = link.rfind('/') == std::string::npos ? "" : link.substr(0, link.rfind('/'));
    if (folder.empty() || folder[0] != '/') folder = cwd + (folder.empty() ? "" : "/" + folder);
    folder = Real(folder);
    if (folder != Real(cwd)) {
      std::string there = folder + "/" + name;
      hints.push_back("the name '" + name +
                      "' is relative: the library took it against the folder rhl runs in, '" +
                      cwd + "', not the link file's, '" + folder + "'" +
                      (Exists(there) ? "; '" + there + "' exists: write that whole path in the link"
                                     : ""));
    }
  }
  return hints;
}

}  // namespace rhl
