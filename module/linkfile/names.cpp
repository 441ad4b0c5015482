// Extension matching.
#include <string.h>

#include "linkfile.h"

static unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

int CompareNoCase(const char *a, const char *b) {
  const unsigned char *pa = (const unsigned char *)(a ? a : "");
  const unsigned char *pb = (const unsigned char *)(b ? b : "");
  for (;; ++pa, ++pb) {
    unsigned char ca = Fold(*pa), cb = Fold(*pb);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == '\0') return 0;
  }
}

int HasExtension(const char *name, const char *extension) {
  if (name == NULL || extension == NULL) return 0;
  size_t n = strlen(name), e = strlen(extension);
  if (n < e || e == 0 || n == 0) return 0;
  return CompareNoCase(extension, name + (n - e)) == 0 ? 1 : 0;
}

int IsEcwName(const char *name) { return HasExtension(name, ".ECW"); }

int IsLinkName(const char *name) { return HasExtension(name, ".URL"); }
