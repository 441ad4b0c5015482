// Names read over HTTP (http:// and https://, through GDAL's /vsicurl/), and
// how GDAL is asked to read them: within time limits, without looking for
// files beside them, and asked afresh whether the server's copy changed.
//
// Shared by the library and rhl, which opens the same names with GDAL.
#ifndef NCSECWEX_REMOTE_H
#define NCSECWEX_REMOTE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace ncsecwex {

// GDAL's HTTP options and the values the library gives those the user has
// not set, in the environment or as GDAL configuration.
struct HttpDefault {
  const char *option;
  const char *value;
};
constexpr HttpDefault kHttpDefaults[] = {
    {"GDAL_HTTP_CONNECTTIMEOUT", "10"},  // seconds to connect (TCP and TLS)
    {"GDAL_HTTP_LOW_SPEED_TIME", "10"},  // seconds below the speed below ...
    {"GDAL_HTTP_LOW_SPEED_LIMIT", "1"},  // ... this many bytes a second
    {"GDAL_HTTP_MAX_RETRY", "1"},        // tries after the first
    {"GDAL_HTTP_RETRY_DELAY", "1"},      // seconds before the first retry
};

// Whether `name` is read over HTTP.
bool IsRemoteName(const std::string &name);
// The name as GDAL opens it: /vsicurl/ before an HTTP name, others as given.
std::string GdalName(const std::string &name);

// Sets kHttpDefaults for the whole process, once, each one only where the
// user has not set it. GDAL reads these options whenever it makes a
// connection's handle, on whichever thread, so they hold for every open,
// read and check of a remote name.
void ApplyHttpDefaults();

// For its life, on this thread, GDAL neither lists the folder of a remote
// name nor asks for files beside it (.aux.xml, .ovr, world files, ...):
// unless the user set GDAL_DISABLE_READDIR_ON_OPEN, in which case GDAL does
// as the user said. Local names are not affected.
class NoSidecars {
 public:
  explicit NoSidecars(const std::string &gdalName);
  ~NoSidecars();
  NoSidecars(const NoSidecars &) = delete;
  NoSidecars &operator=(const NoSidecars &) = delete;

 private:
  void Set(const char *option, const char *value);
  std::vector<const char *> set_;  // options set here, this thread's own
};

// A remote file as the server described it: its size and modification time.
struct RemoteIdentity {
  int64_t size = -1;
  int64_t modified = 0;
  bool operator==(const RemoteIdentity &o) const {
    return size == o.size && modified == o.modified;
  }
};

// What GDAL knows of a remote name (from its cache after an open).
bool KnownIdentity(const std::string &gdalName, RemoteIdentity *identity);
// GDAL's cached knowledge of a remote name and of names beginning with it
// (size, existence, downloaded ranges) dropped, so that the next use asks
// the server.
void ForgetRemote(const std::string &gdalName);
// Asks the server now (one HEAD request): false when it does not answer
// with the file.
bool AskServer(const std::string &gdalName, RemoteIdentity *identity);

}  // namespace ncsecwex

#endif
