#include "remote.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>

#include <mutex>

#include "cpl_conv.h"
#include "cpl_vsi.h"

namespace ncsecwex {
namespace {

constexpr char kReadDirOption[] = "GDAL_DISABLE_READDIR_ON_OPEN";
constexpr char kExtensionsOption[] = "CPL_VSIL_CURL_ALLOWED_EXTENSIONS";

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

namespace {

// The extension of the file an http(s) name ends with (".jp2"), or "" when
// it has none or a query follows it.
std::string ExtensionOf(const std::string &gdalName) {
  if (gdalName.find_first_of("?#") != std::string::npos) return "";
  size_t slash = gdalName.rfind('/'), dot = gdalName.rfind('.');
  if (dot == std::string::npos || dot < slash || gdalName.size() - dot > 9) return "";
  for (size_t i = dot + 1; i < gdalName.size(); ++i)
    if (!isalnum((unsigned char)gdalName[i])) return "";
  return gdalName.substr(dot);
}

}  // namespace

NoSidecars::NoSidecars(const std::string &gdalName) {
  // Set by the user (or by an enclosing scope) in any way GDAL reads it,
  // this thread's own setting included: GDAL does as the user said.
  if (!IsRemoteGdalName(gdalName) || CPLGetConfigOption(kReadDirOption, nullptr) != nullptr)
    return;
  // No listing of the folder, so no file is known to lie beside the image...
  Set(kReadDirOption, "EMPTY_DIR");
  // ... and none is asked for by name either (drivers look for .aux.xml
  // without a listing): only names with the image's own extension are.
  std::string extension = ExtensionOf(gdalName);
  if (!extension.empty() && CPLGetConfigOption(kExtensionsOption, nullptr) == nullptr)
    Set(kExtensionsOption, extension.c_str());
}

void NoSidecars::Set(const char *option, const char *value) {
  CPLSetThreadLocalConfigOption(option, value);
  set_.push_back(option);
}

NoSidecars::~NoSidecars() {
  for (const char *option : set_) CPLSetThreadLocalConfigOption(option, nullptr);
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
