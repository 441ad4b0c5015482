#include "fake_c.h"

#include "fake_ncsecwex.h"

void FakeReset(void) { fake::Reset(); }
uint8_t FakePixel(int row, int column, int channel) { return fake::Pixel(row, column, channel); }
int FakeOpenViews(void) { return fake::OpenViews(); }
int FakeMisuses(void) { return fake::Misuses(); }
