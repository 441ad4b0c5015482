// Opening an image as the host does, for any name GDAL reads: a name the
// module does not serve is handed to it through a temporary link file naming
// the image's absolute path.
#ifndef RHL_HOST_IMAGE_H
#define RHL_HOST_IMAGE_H

#include <string>

#include "session.h"

namespace rhl {

struct OpenOptions {
  bool verbose = false;  // say when a link file stands in for the name
};

// The module's name for its messages: its descriptor's name, else its file.
std::string ModuleName(const Session &session, const std::string &modulePath);

// Probes and opens `file`; false after saying why (the module's own boxes,
// then one line of rhl's).
bool OpenImage(Session &session, const std::string &moduleName, const std::string &file,
               const OpenOptions &options);

// After a failure of the module's: the library's reason on a line of its
// own, when it gave one.
void SayLibraryReason(const Session &session);

// Loads the module into the session; false after saying why.
bool LoadModule(Session &session, const std::string &modulePath);

}  // namespace rhl

#endif
