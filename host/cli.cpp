#include "cli.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <charconv>
#include <sys/stat.h>

namespace rhl {
namespace {

[[noreturn]] void Refuse(const std::string &option, const std::string &text,
                         const std::string &wants) {
  throw Usage{option + " takes " + wants + ", not '" + text + "'"};
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Beside rhl in a build tree, else where an install puts it.
std::string BesideOrInstalled(const std::string &beside, const std::string &installed) {
  const std::string dir = ExeDir();
  if (Exists(dir + "/" + beside) || !Exists(dir + "/" + installed)) return dir + "/" + beside;
  return dir + "/" + installed;
}

}  // namespace

double ParseNumber(const std::string &option, const std::string &text) {
  const char *start = text.c_str();
  char *end = nullptr;
  errno = 0;
  double value = strtod(start, &end);
  if (text.empty() || *end != '\0' || !isfinite(value) || errno == ERANGE)
    Refuse(option, text, "a finite number");
  return value;
}

double ParsePositive(const std::string &option, const std::string &text) {
  double value = ParseNumber(option, text);
  if (!(value > 0)) Refuse(option, text, "a number greater than 0");
  return value;
}

int64_t ParseWhole(const std::string &option, const std::string &text, int64_t lowest,
                   int64_t highest) {
  int64_t value = 0;
  const char *begin = text.c_str(), *end = begin + text.size();
  if (!text.empty() && *begin == '+') ++begin;
  auto [at, error] = std::from_chars(begin, end, value);
  if (text.empty() || error != std::errc() || at != end || value < lowest || value > highest)
    Refuse(option, text,
           "whole numbers from " + std::to_string(lowest) + " to " + std::to_string(highest));
  return value;
}

double ParseCount(const std::string &option, const std::string &text, bool percentOk,
                  bool *percent) {
  *percent = false;
  if (percentOk && !text.empty() && text.back() == '%') {
    *percent = true;
    return ParsePositive(option, text.substr(0, text.size() - 1));
  }
  return (double)ParseWhole(option, text, 0, INT32_MAX);
}

void ParseNameValue(const std::string &option, const std::string &text) {
  size_t equals = text.find('=');
  if (equals == 0 || equals == std::string::npos) Refuse(option, text, "NAME=VALUE");
}

std::vector<std::string> WithGdalSpellings(int argc, char **argv) {
  static const char *const kGdal[] = {"-of",     "-co",    "-projwin",  "-srcwin",
                                      "-outsize", "-a_srs", "-a_nodata", "-json"};
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    for (const char *name : kGdal)
      if (arg == name) arg = std::string("-") + name;
    args.push_back(arg);
  }
  return args;
}

std::string ShortNumber(double value) {
  // Plain digits for the magnitudes of coordinates and pixel sizes, an
  // exponent beyond them; either way the fewest digits that read back.
  char text[400];
  double magnitude = fabs(value);
  bool plain = value == 0 || (magnitude >= 1e-5 && magnitude < 1e17);
  auto result = plain ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
                      : std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string ExeDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string p(path);
  return p.substr(0, p.rfind('/'));
}

std::string DefaultModulePath() { return BesideOrInstalled("ECW.RHL", "../lib/ecw-rhl/ECW.RHL"); }

std::string BundledSample() {
  return BesideOrInstalled("samples/world.tif", "../share/ecw-rhl/samples/world.tif");
}

}  // namespace rhl
