// What of this machine's files the library lets GDAL open, and the truest
// error code for a local name GDAL could not open.
#ifndef NCSECWEX_LOCAL_H
#define NCSECWEX_LOCAL_H

#include <string>

namespace ncsecwex {

// The one check of a file GDAL is about to open on the library's behalf,
// whatever route leads to it (the name itself, a VRT's sources, a GDAL
// path, a sidecar; see guard.h). 0 when `path` may be opened; otherwise an
// error code, with the reason naming the file in *reason:
// - EPERM: it names the host's standard streams or another open file of a
//   process (/vsistdin/, /dev/stdin, /dev/fd/N, /proc/self/fd/N, ...), or
//   lies in the kernel's process or system information (/proc, /sys), or it
//   asks GDAL's HTTP layer for a local file (/vsicurl/file://...), which
//   it would open without the library seeing it;
// - ESPIPE: a FIFO, socket or device, which cannot be read at any offset
//   (a FIFO would block the open until a writer came).
// A missing file and a folder are not refused here: GDAL says what they are.
int RefusedFile(const std::string &path, std::string *reason);

// The same check of a name before GDAL sees it, and also: EACCES, a file
// this process may not read, or one behind a folder it may not search.
// Names of GDAL's virtual file systems and remote names are looked at by
// the rules on names alone.
int RefusedLocalName(const std::string &name, std::string *reason);

// Whether `text` (a name, or a value in a file that names others) names the
// host's streams or a process's open files, or a local file read through
// GDAL's HTTP layer; with the reason in *reason.
int RefusedByName(const std::string &text, std::string *reason);

// Why GDAL could not open the local name `name` when it was not refused:
// ENOENT (nothing there), EISDIR (a folder GDAL does not read as an image)
// or ENOTSUP (a file in no format GDAL reads); with the reason in *reason
// when the library has a better one than GDAL's.
int LocalOpenError(const std::string &name, std::string *reason);

}  // namespace ncsecwex

#endif
