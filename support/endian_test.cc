#include "support/endian.h"

#include <gtest/gtest.h>

namespace deployboot {
namespace {

TEST(Endian, FieldsAtOddOffsetsRoundTripLowByteFirst) {
  uint8_t buf[16] = {};
  storeLe16(buf + 1, 0xBEEF);
  storeLe32(buf + 3, 0xBAD0F11E);
  storeLe64(buf + 7, 0x0123456789ABCDEFull);
  EXPECT_EQ(buf[1], 0xEF);
  EXPECT_EQ(buf[2], 0xBE);
  EXPECT_EQ(buf[3], 0x1E);
  EXPECT_EQ(buf[6], 0xBA);
  EXPECT_EQ(buf[7], 0xEF);
  EXPECT_EQ(buf[14], 0x01);
  EXPECT_EQ(loadLe16(buf + 1), 0xBEEF);
  EXPECT_EQ(loadLe32(buf + 3), 0xBAD0F11Eu);
  EXPECT_EQ(loadLe64(buf + 7), 0x0123456789ABCDEFull);
}

}  // namespace
}  // namespace deployboot
