/* A DLL that needs the MinGW thread runtime, for the import check to refuse. */
#include <pthread.h>

__declspec(dllexport) int NeedsRuntime(void) { return pthread_self() != 0; }
