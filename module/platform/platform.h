// The only door from the module to the operating system.
//
// Everything the handler needs from the platform is declared here: zero-filled
// heap blocks, link-file reading, the last error code and its text, and the
// modal message box. posix/ and win32/ each implement it; seams.cpp holds the
// parts both share, including the test seams at the end of this header.
#ifndef RHL_PLATFORM_H
#define RHL_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- heap blocks -----------------------------------------------------------
// A zero-filled block of `size` bytes, or NULL.
void *PlatAlloc(size_t size);
// Resizes `block` (NULL allowed) from `oldSize` to `newSize` bytes, keeping the
// contents and zero-filling any new space. The block may move. On failure it
// returns NULL and `block` is untouched and still owned by the caller.
void *PlatGrow(void *block, size_t oldSize, size_t newSize);
// Releases a block from PlatAlloc or PlatGrow; NULL is ignored.
void PlatFree(void *block);
// Blocks handed out by PlatAlloc and PlatGrow and not yet released.
long PlatLiveBlocks(void);

// ---- files -----------------------------------------------------------------
typedef intptr_t PlatFile;
#define PLAT_NO_FILE ((PlatFile)-1)

// 1 if the named file exists, else 0 with the last error set.
int PlatFileExists(const char *name);
// A file opened for reading, or PLAT_NO_FILE with the last error set. The
// open never waits: a FIFO or a device opens at once, and PlatExamine tells it
// from a regular file before anything is read.
PlatFile PlatOpenRead(const char *name);
// What an open file is.
typedef enum PlatFileKind {
  PLAT_KIND_REGULAR = 0,  // a regular file, whose size is known
  PLAT_KIND_DIRECTORY,
  PLAT_KIND_OTHER         // a FIFO, socket, character or block device, console
} PlatFileKind;
// 1 with the file's kind in *pKind and, for a regular file, its size in bytes
// in *pSize (0 for the other kinds); 0 on failure with the last error set.
int PlatExamine(PlatFile file, PlatFileKind *pKind, uint64_t *pSize);
// Reads up to `size` bytes; 1 with the count in *pGot, or 0 on failure.
int PlatRead(PlatFile file, void *buffer, uint32_t size, uint32_t *pGot);
// 1 on success, 0 on failure with the last error set.
int PlatClose(PlatFile file);

// ---- errors ----------------------------------------------------------------
// The calling thread's last platform error code.
uint32_t PlatLastError(void);
// Writes the platform's own text for `code` into `out` (NUL-terminated, cut
// to `size`). Returns 1, or 0 when the platform has no text for the code.
int PlatErrorText(uint32_t code, char *out, size_t size);

// ---- user interface --------------------------------------------------------
// A modal message with a caption and a single OK button, no owner window.
void PlatMessageBox(const char *caption, const char *text);

// ---- test seams ------------------------------------------------------------
// Every message box passes through the sink when one is set; the platform's
// own box is then not shown. NULL restores the platform's box.
typedef void (*PlatMessageSink)(const char *caption, const char *text);
void PlatSetMessageSink(PlatMessageSink sink);

// Scripted platform failures. The (skip+1)-th call of `op` from now fails,
// leaving `error` as the last error code. PLAT_OP_NONE clears the script.
typedef enum PlatOp {
  PLAT_OP_NONE = 0,
  PLAT_OP_ALLOC,   // PlatAlloc and PlatGrow
  PLAT_OP_EXISTS,
  PLAT_OP_OPEN,
  PLAT_OP_READ,
  PLAT_OP_CLOSE,
  PLAT_OP_EXAMINE,
  PLAT_OP_ANY      // only for PlatFailNext: the (skip+1)-th call of any of the above
} PlatOp;
void PlatFailNext(PlatOp op, int skip, uint32_t error);
// 1 while a scripted failure is waiting to fire.
int PlatFailurePending(void);

// Used by the implementations: 1 when the scripted failure of `op` fires now,
// with its error code in *pError.
int PlatFaultFires(PlatOp op, uint32_t *pError);
// Shows through the sink when one is set; returns 1 if it did.
int PlatSinkMessage(const char *caption, const char *text);

#ifdef __cplusplus
}
#endif

#endif
