// POSIX implementation of the platform layer.
// Large-file calls everywhere, so a 32-bit build opens and sizes files past 2 GiB.
#define _FILE_OFFSET_BITS 64
#include "../platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int Fault(PlatOp op) {
  uint32_t error = 0;
  if (!PlatFaultFires(op, &error)) return 0;
  errno = (int)error;
  return 1;
}

// Blocks handed out and not yet released; the module is single-threaded.
static long gLiveBlocks = 0;

void *PlatAlloc(size_t size) {
  if (Fault(PLAT_OP_ALLOC)) return NULL;
  // calloc(0) may hand back NULL; a zero-byte block is still a block.
  void *block = calloc(size ? size : 1, 1);
  if (block != NULL) ++gLiveBlocks;
  return block;
}

void *PlatGrow(void *block, size_t oldSize, size_t newSize) {
  if (Fault(PLAT_OP_ALLOC)) return NULL;
  void *grown = realloc(block, newSize ? newSize : 1);
  if (grown == NULL) return NULL;
  if (block == NULL) ++gLiveBlocks;
  if (newSize > oldSize) memset((char *)grown + oldSize, 0, newSize - oldSize);
  return grown;
}

void PlatFree(void *block) {
  if (block == NULL) return;
  --gLiveBlocks;
  free(block);
}

long PlatLiveBlocks(void) { return gLiveBlocks; }

int PlatFileExists(const char *name) {
  if (Fault(PLAT_OP_EXISTS)) return 0;
  return access(name, F_OK) == 0 ? 1 : 0;
}

PlatFile PlatOpenRead(const char *name) {
  if (Fault(PLAT_OP_OPEN)) return PLAT_NO_FILE;
  // Without O_NONBLOCK a FIFO would wait here for a writer. Reads of a
  // regular file ignore the flag.
  int fd;
  do {
    fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? PLAT_NO_FILE : (PlatFile)fd;
}

int PlatExamine(PlatFile file, PlatFileKind *pKind, uint64_t *pSize) {
  if (Fault(PLAT_OP_EXAMINE)) return 0;
  struct stat st;
  if (fstat((int)file, &st) != 0) return 0;
  *pKind = S_ISREG(st.st_mode)   ? PLAT_KIND_REGULAR
           : S_ISDIR(st.st_mode) ? PLAT_KIND_DIRECTORY
                                 : PLAT_KIND_OTHER;
  *pSize = *pKind == PLAT_KIND_REGULAR && st.st_size > 0 ? (uint64_t)st.st_size : 0;
  return 1;
}

int PlatRead(PlatFile file, void *buffer, uint32_t size, uint32_t *pGot) {
  if (Fault(PLAT_OP_READ)) return 0;
  ssize_t got;
  do {
    got = read((int)file, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return 0;
  *pGot = (uint32_t)got;
  return 1;
}

int PlatClose(PlatFile file) {
  uint32_t error = 0;
  if (PlatFaultFires(PLAT_OP_CLOSE, &error)) {
    close((int)file);  // the descriptor is still given back
    errno = (int)error;
    return 0;
  }
  return close((int)file) == 0 ? 1 : 0;
}

uint32_t PlatLastError(void) { return (uint32_t)errno; }

int PlatErrorText(uint32_t code, char *out, size_t size) {
  if (size == 0) return 0;
  char scratch[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char *text = strerror_r((int)code, scratch, sizeof scratch);
#else
  const char *text = strerror_r((int)code, scratch, sizeof scratch) == 0 ? scratch : NULL;
#endif
  if (text == NULL || text[0] == '\0') {
    out[0] = '\0';
    return 0;
  }
  snprintf(out, size, "%s", text);
  return 1;
}

void PlatMessageBox(const char *caption, const char *text) {
  if (PlatSinkMessage(caption, text)) return;
  fprintf(stderr, "%s: %s\n", caption, text);
  fflush(stderr);
}
