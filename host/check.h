// Checks that a handler module meets the host interface, item by item.
#ifndef RHL_HOST_CHECK_H
#define RHL_HOST_CHECK_H

#include <string>
#include <vector>

namespace rhl {

struct CheckItem {
  std::string what;
  bool ok;
  std::string detail;  // why not, when it fails
};

std::vector<CheckItem> CheckModule(const std::string &path);

// What is wrong with the file at `path` as a module for this platform,
// before any attempt to load it.
enum class ModuleFile { Plausible, Missing, NotAFile, Windows, Foreign };
ModuleFile ClassifyModuleFile(const std::string &path, std::string *what);
// The reason a module cannot be loaded from `path`, or "" when it may be.
std::string ModuleFileProblem(const std::string &path);

}  // namespace rhl

#endif
