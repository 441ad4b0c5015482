// Turns a link file into the name of the image it holds.
#include <string.h>

#include "../diagnostics/diagnostics.h"
#include "../platform/platform.h"
#include "linkfile.h"

static int32_t TooLarge(const char *linkName) {
  return SetLastMessage(1, "ReadUrlFromFile: url file '%s' is too large to be a link file "
                           "(more than %d bytes)",
                        linkName, kMaxLinkFileSize);
}

// Refuses, before anything is read, a file that cannot be a link file: one
// that is not a regular file (a FIFO or a device would block or never end)
// or one larger than any link. 0 when it may be read, 1 with a message.
static int32_t CheckLinkFile(const char *linkName, PlatFile file) {
  PlatFileKind kind = PLAT_KIND_OTHER;
  uint64_t size = 0;
  if (!PlatExamine(file, &kind, &size))
    return SetLastMessage(1, "ReadUrlFromFile: error examining url file '%s' (%s)", linkName,
                          SystemErrorText());
  if (kind != PLAT_KIND_REGULAR)
    return SetLastMessage(1, "ReadUrlFromFile: url file '%s' is not a regular file", linkName);
  if (size > kMaxLinkFileSize) return TooLarge(linkName);
  return 0;
}

// Reads the whole file into the accumulator; 0 on success, 1 with a message.
// A file that grows, or reports no size (as pseudo-files do), is still read
// no further than a link file can reach.
static int32_t ReadWholeFile(const char *linkName, PlatFile file, TextAccumulator *pText) {
  static char chunk[kChunkSize];
  uint64_t total = 0;
  for (;;) {
    uint32_t got = 0;
    if (!PlatRead(file, chunk, kChunkSize - 1, &got))
      return SetLastMessage(1, "ReadUrlFromFile: error reading url file '%s' (%s)", linkName,
                            SystemErrorText());
    if (got == 0) return 0;
    total += got;
    if (total > kMaxLinkFileSize) return TooLarge(linkName);
    chunk[got] = '\0';  // a zero byte inside the chunk ends its text
    if (!AppendText(pText, chunk))
      return SetLastMessage(1, "ReadUrlFromFile: not enough memory to read url file '%s'",
                            linkName);
  }
}

int32_t ReadUrlFromFile(const char *linkName, char *out) {
  if (!PlatFileExists(linkName))
    return SetLastMessage(1, "ReadUrlFromFile: url file '%s' does not exist (%s)", linkName,
                          SystemErrorText());
  PlatFile file = PlatOpenRead(linkName);
  if (file == PLAT_NO_FILE)
    return SetLastMessage(1, "ReadUrlFromFile: error opening url file '%s' (%s)", linkName,
                          SystemErrorText());

  TextAccumulator text = {NULL, 0, 0};
  int32_t failed = CheckLinkFile(linkName, file);
  if (!failed) failed = ReadWholeFile(linkName, file, &text);
  if (!PlatClose(file) && !failed)
    failed = SetLastMessage(1, "ReadUrlFromFile: error closing url file '%s' (%s)", linkName,
                            SystemErrorText());
  if (!failed && text.length == 0)
    failed = SetLastMessage(1, "ReadUrlFromFile: url file '%s' is empty", linkName);
  if (!failed) {
    TrimTrailingSpace(text.text);
    size_t length = strlen(text.text);
    if (length > kNameSize - 1)
      failed = SetLastMessage(1,
                              "ReadUrlFromFile: url file '%s' holds a name of %lu characters; "
                              "at most %d fit",
                              linkName, (unsigned long)length, kNameSize - 1);
    else
      memcpy(out, text.text, length + 1);
  }
  ReleaseText(&text);
  return failed;
}
