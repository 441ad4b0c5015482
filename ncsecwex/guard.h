// One check of every file GDAL opens on the library's behalf, whatever route
// leads to it: the name itself, a VRT's sources, a GDAL path (/vsisubfile/,
// /vsigzip/, GTIFF_DIR:...), a sidecar (.aux.xml, .ovr, .msk, world files).
//
// GDAL opens every local file through its handler for plain paths; the
// library puts its own handler in that place, in front of GDAL's. It opens
// nothing that could block (a FIFO is looked at without waiting for a
// writer), refuses what RefusedFile refuses (local.h), and hands every other
// file on to GDAL's own handler, which then opens the very file that was
// checked. GDAL's reader of the host's standard input is refused outright,
// and VRT files are read before GDAL parses them: a raw band (which reads any
// file's bytes as pixels) is refused unless the user turns such bands on
// with GDAL_VRT_ENABLE_RAWRASTERBAND=YES, and so is a name in them that the
// rules on names refuse.
//
// The checks hold for the whole process once installed, for GDAL's other
// users in it too; the library therefore stays loaded until the process ends.
// A refusal leaves errno and the reason with NoteRefusal (reason.h).
#ifndef NCSECWEX_GUARD_H
#define NCSECWEX_GUARD_H

namespace ncsecwex {

// Installs the checks, once per process, after GDAL's drivers are registered.
void GuardGdalFiles();

}  // namespace ncsecwex

#endif
