// Names of this machine's files that the library refuses before GDAL sees
// them, and the truest error code for a local name GDAL could not open.
#ifndef NCSECWEX_LOCAL_H
#define NCSECWEX_LOCAL_H

#include <string>

namespace ncsecwex {

// 0 when `name` may be handed to GDAL; otherwise an error code, with the
// reason in *reason:
// - EPERM: it names the host's standard streams or another open file of a
//   process (/vsistdin/, /dev/stdin, /dev/fd/N, /proc/self/fd/N, ...);
// - ESPIPE: a FIFO, socket or device, which cannot be read at any offset
//   (a FIFO would block the open until a writer came);
// - EACCES: a file this process may not read, or one behind a folder it
//   may not search.
// Names of GDAL's virtual file systems and remote names are not looked at
// beyond the first rule.
int RefusedLocalName(const std::string &name, std::string *reason);

// Why GDAL could not open the local name `name` when it was not refused:
// ENOENT (nothing there), EISDIR (a folder GDAL does not read as an image)
// or ENOTSUP (a file in no format GDAL reads); with the reason in *reason
// when the library has a better one than GDAL's.
int LocalOpenError(const std::string &name, std::string *reason);

}  // namespace ncsecwex

#endif
