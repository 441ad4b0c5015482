// File names the handler serves, and link files that name an image.
#ifndef RHL_LINKFILE_H
#define RHL_LINKFILE_H

#include <stddef.h>
#include <stdint.h>

enum {
  kNameSize = 1024,       // a name buffer: 1023 characters and the terminator
  kChunkSize = 5120,      // link files are read 5119 bytes at a time
  // A link names at most 1023 characters; with room for any white space
  // around the name, a file larger than this is no link file.
  kMaxLinkFileSize = 65536,
};

// A growing heap text; starts with no block at all.
typedef struct TextAccumulator {
  char *text;
  size_t length;    // characters held, without the terminator
  size_t capacity;  // bytes in the block
} TextAccumulator;

#ifdef __cplusplus
extern "C" {
#endif

int HasExtension(const char *name, const char *extension);
int IsEcwName(const char *name);
int IsLinkName(const char *name);
// -1, 0 or 1; only A to Z are folded to lower case.
int CompareNoCase(const char *a, const char *b);
// Removes trailing white space in place; the first character always stays.
void TrimTrailingSpace(char *text);

// 1 when appended (a NULL text appends nothing), 0 when the block cannot grow.
int AppendText(TextAccumulator *pAccumulator, const char *text);
void ReleaseText(TextAccumulator *pAccumulator);

// Resolves a link file into `out` (kNameSize bytes): 0 on success, 1 with the
// reason as the last message.
int32_t ReadUrlFromFile(const char *linkName, char *out);

#ifdef __cplusplus
}
#endif

#endif
