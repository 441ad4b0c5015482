// Win32 implementation of the platform layer.
#include <string.h>
#include <windows.h>

#include "../platform.h"

static int Fault(PlatOp op) {
  uint32_t error = 0;
  if (!PlatFaultFires(op, &error)) return 0;
  SetLastError(error);
  return 1;
}

// Blocks handed out and not yet released; the module is single-threaded.
static long gLiveBlocks = 0;

void *PlatAlloc(size_t size) {
  if (Fault(PLAT_OP_ALLOC)) return NULL;
  void *block = (void *)GlobalAlloc(GPTR, size ? size : 1);
  if (block != NULL) ++gLiveBlocks;
  return block;
}

void *PlatGrow(void *block, size_t oldSize, size_t newSize) {
  if (block == NULL) return PlatAlloc(newSize);
  if (Fault(PLAT_OP_ALLOC)) return NULL;
  // A fixed block may move to grow; the new space comes zero-filled.
  void *grown = (void *)GlobalReAlloc((HGLOBAL)block, newSize ? newSize : 1,
                                      GMEM_MOVEABLE | GMEM_ZEROINIT);
  if (grown != NULL && newSize > oldSize) memset((char *)grown + oldSize, 0, newSize - oldSize);
  return grown;
}

void PlatFree(void *block) {
  if (block == NULL) return;
  --gLiveBlocks;
  GlobalFree((HGLOBAL)block);
}

// Neither test nor open goes through OpenFile: its OFSTRUCT holds a path of
// at most 127 characters, and a link file in a deep folder is still a file.
int PlatFileExists(const char *name) {
  if (Fault(PLAT_OP_EXISTS)) return 0;
  if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return 1;
  // A missing folder on the way is a missing file too, with the same text.
  if (GetLastError() == ERROR_PATH_NOT_FOUND) SetLastError(ERROR_FILE_NOT_FOUND);
  return 0;
}

PlatFile PlatOpenRead(const char *name) {
  if (Fault(PLAT_OP_OPEN)) return PLAT_NO_FILE;
  // Others may go on reading and writing the file meanwhile.
  HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  return file == INVALID_HANDLE_VALUE ? PLAT_NO_FILE : (PlatFile)file;
}

int PlatRead(PlatFile file, void *buffer, uint32_t size, uint32_t *pGot) {
  if (Fault(PLAT_OP_READ)) return 0;
  DWORD got = 0;
  if (!ReadFile((HANDLE)file, buffer, size, &got, NULL)) return 0;
  *pGot = got;
  return 1;
}

int PlatClose(PlatFile file) {
  uint32_t error = 0;
  if (PlatFaultFires(PLAT_OP_CLOSE, &error)) {
    CloseHandle((HANDLE)file);  // the handle is still given back
    SetLastError(error);
    return 0;
  }
  return CloseHandle((HANDLE)file) ? 1 : 0;
}

uint32_t PlatLastError(void) { return GetLastError(); }

int PlatErrorText(uint32_t code, char *out, size_t size) {
  if (size == 0) return 0;
  char *text = NULL;
  // Inserts are ignored: a system text with "%1" has no arguments to fill it.
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           NULL, code, 0x400, (LPSTR)&text, 0, NULL);
  if (n == 0 || text == NULL) {
    out[0] = '\0';
    return 0;
  }
  size_t length = strlen(text);
  if (length >= size) length = size - 1;
  memcpy(out, text, length);
  out[length] = '\0';
  LocalFree(text);
  return 1;
}

void PlatMessageBox(const char *caption, const char *text) {
  if (PlatSinkMessage(caption, text)) return;
  MessageBoxA(NULL, text, caption, MB_OK);
}

// ---- added for bounded link files -----------------------------------------

int PlatExamine(PlatFile file, PlatFileKind *pKind, uint64_t *pSize) {
  if (Fault(PLAT_OP_EXAMINE)) return 0;
  HANDLE handle = (HANDLE)file;
  SetLastError(NO_ERROR);
  DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return 0;
  *pSize = 0;
  if (type != FILE_TYPE_DISK) {  // a pipe, the console, a serial port, NUL
    *pKind = PLAT_KIND_OTHER;
    return 1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return 0;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *pKind = PLAT_KIND_DIRECTORY;
    return 1;
  }
  *pKind = PLAT_KIND_REGULAR;
  *pSize = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return 1;
}

long PlatLiveBlocks(void) { return gLiveBlocks; }
