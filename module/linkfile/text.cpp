// The text accumulator and trailing-space trimming.
#include <string.h>

#include "../platform/platform.h"
#include "linkfile.h"

static int IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void TrimTrailingSpace(char *text) {
  size_t n = strlen(text);
  if (n == 0) return;
  for (size_t i = n - 1; i > 0 && IsSpace(text[i]); --i) text[i] = '\0';
}

int AppendText(TextAccumulator *pAccumulator, const char *text) {
  if (text == NULL) return 1;
  size_t add = strlen(text);
  if (pAccumulator->text == NULL) {
    char *block = (char *)PlatAlloc(add + 1);
    if (block == NULL) return 0;
    memcpy(block, text, add);
    pAccumulator->text = block;
    pAccumulator->length = add;
    pAccumulator->capacity = add + 1;
    return 1;
  }
  size_t wanted = pAccumulator->length + add + 2;
  char *grown = (char *)PlatGrow(pAccumulator->text, pAccumulator->capacity, wanted);
  if (grown == NULL) return 0;
  memcpy(grown + pAccumulator->length, text, add);  // the grown tail is zero
  pAccumulator->text = grown;
  pAccumulator->length += add;
  pAccumulator->capacity = wanted;
  return 1;
}

void ReleaseText(TextAccumulator *pAccumulator) {
  PlatFree(pAccumulator->text);
  pAccumulator->text = NULL;
  pAccumulator->length = 0;
  pAccumulator->capacity = 0;
}
