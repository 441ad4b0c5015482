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

}  // namespace rhl

#endif
