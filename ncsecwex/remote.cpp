#include "remote.h"

#include <string.h>
#include <strings.h>

#include <mutex>

#include "cpl_conv.h"
#include "cpl_vsi.h"

namespace ncsecwex {
namespace {

constexpr char kReadDirOption[] = "GDAL_DISABLE_READDIR_ON_OPEN";

bool StartsWithNoCase(const std::string &name, const char *prefix) {
  size_t n = strlen(prefix);
  return name.size() >= n && strncasecmp(name.c_str(), prefix, n) == 0;
}

bool IsRemoteGdalName(const std::string &gdalName) {
  return gdalName.compare(0, 9, "/vsicurl/") == 0;
}

}  // namespace

bool IsRemoteName(const std::string &name) {
  return StartsWithNoCase(name, "http://") || StartsWithNoCase(name, "https://");
}

std::string GdalName(const std::string &name) {
  return IsRemoteName(name) ? "/vsicurl/" + name : name;
}

void ApplyHttpDefaults() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const HttpDefault &d : kHttpDefaults)
      if (CPLGetConfigOption(d.option, nullptr) == nullptr) CPLSetConfigOption(d.option, d.value);
  });
}

NoSidecars::NoSidecars(const std::string &gdalName) {
  // Set by the user (or by an enclosing scope) in any way GDAL reads it,
  // this thread's own setting included: left as it is.
  if (!IsRemoteGdalName(gdalName) || CPLGetConfigOption(kReadDirOption, nullptr) != nullptr)
    return;
  CPLSetThreadLocalConfigOption(kReadDirOption, "EMPTY_DIR");
  set_ = true;
}

NoSidecars::~NoSidecars() {
  if (set_) CPLSetThreadLocalConfigOption(kReadDirOption, nullptr);
}

bool KnownIdentity(const std::string &gdalName, RemoteIdentity *identity) {
  VSIStatBufL st;
  if (VSIStatExL(gdalName.c_str(), &st, VSI_STAT_EXISTS_FLAG | VSI_STAT_SIZE_FLAG) != 0)
    return false;
  identity->size = (int64_t)st.st_size;
  identity->modified = (int64_t)st.st_mtime;
  return true;
}

void ForgetRemote(const std::string &gdalName) {
  if (IsRemoteGdalName(gdalName)) VSICurlPartialClearCache(gdalName.c_str());
}

bool AskServer(const std::string &gdalName, RemoteIdentity *identity) {
  ForgetRemote(gdalName);
  NoSidecars quiet(gdalName);
  return KnownIdentity(gdalName, identity);
}

}  // namespace ncsecwex
