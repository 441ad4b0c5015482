#include <string.h>

#include "platform/platform.h"
#include "support.h"

using Records = ModuleTest;

static double ReadDouble(const uint8_t *p) {
  double d;
  memcpy(&d, p, sizeof d);
  return d;
}
static uint32_t ReadU32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

TEST_F(Records, GetInfoWritesExactlyTheDescriptorsBytes) {
  uint8_t buffer[1100];
  memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(HandlerGetInfo(reinterpret_cast<HandlerDescriptor *>(buffer)), 1);

  uint8_t expected[1068] = {};
  expected[0] = 1;
  memcpy(expected + 2, "ECW.RHL", 7);
  memcpy(expected + 514, "Native ECW Handler", 18);
  expected[1026] = 2;
  memcpy(expected + 1028, "ecw", 3);
  memcpy(expected + 1038, "url", 3);
  EXPECT_EQ(memcmp(buffer, expected, sizeof expected), 0);
  for (size_t i = 1068; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
  EXPECT_TRUE(boxes().empty());
}

TEST_F(Records, CloseAndLastErrorChangeNothing) {
  raster_.errorCode = 5;
  raster_.hostReserved0 = 0xABCD;
  Raster before = raster_;
  EXPECT_EQ(HandlerClose(&raster_), 1);
  EXPECT_EQ(HandlerClose(nullptr), 1);
  EXPECT_EQ(HandlerGetLastError(&raster_), 5u);
  EXPECT_EQ(memcmp(&before, &raster_, sizeof raster_), 0);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(Records, LastErrorWithoutARecordShowsTheAssertionAndAnswersNonZero) {
  EXPECT_NE(HandlerGetLastError(nullptr), 0u);
  EXPECT_EQ(boxes(), (Boxes{{"RXAssert failed", "RXAssert: pRaster!=NULL, lasterr, 50"}}));
}

TEST_F(Records, RegistrationBlockForThe100By50Image) {
  EcwImageSummary summary{100, 50, 10.0, 900.0, 210.0, 750.0};
  RegistrationBlock *block = BuildRegistrationBlock(&summary);
  ASSERT_NE(block, nullptr);
  const uint8_t *b = reinterpret_cast<const uint8_t *>(block);
  EXPECT_EQ(ReadU32(b + 0), 0xDCBAu);
  EXPECT_EQ(ReadU32(b + 4), 293u);
  EXPECT_EQ(b[8], 1);
  EXPECT_EQ(ReadU32(b + 9), 1u);
  for (int i = 13; i <= 144; ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
  EXPECT_EQ(ReadU32(b + 145), 3u);
  const double expected[3][6] = {
      {10, 900, 0, 0, 0, 0}, {210, 750, 0, 100, 50, 0}, {210, 900, 0, 100, 0, 0}};
  for (int p = 0; p < 3; ++p)
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(ReadDouble(b + 149 + 48 * p + 8 * k), expected[p][k]) << "point " << p << " value " << k;
  PlatFree(block);
}

TEST_F(Records, RegistrationBlockReadsSizesAsSignedForPixels) {
  EcwImageSummary summary{0x80000000u, 1, 0, 0, 1, 1};
  RegistrationBlock *block = BuildRegistrationBlock(&summary);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(+block->points[1].pixelX, -2147483648.0);
  PlatFree(block);
}

TEST_F(Records, RegistrationBlockThatCannotBeAllocatedIsNull) {
  EcwImageSummary summary{1, 1, 0, 0, 1, 1};
  PlatFailNext(PLAT_OP_ALLOC, 0, 12);
  EXPECT_EQ(BuildRegistrationBlock(&summary), nullptr);
}
