// The scripting of the fake ncsecwex.dll that the C host test uses, with C
// linkage.
#ifndef RHL_FAKE_C_H
#define RHL_FAKE_C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void FakeReset(void);
uint8_t FakePixel(int row, int column, int channel);
int FakeOpenViews(void);
int FakeMisuses(void);

#ifdef __cplusplus
}
#endif

#endif
