// The converter's side of the sign-on, through the real driver.
#include "sim_bench.h"

namespace simtest {
namespace {

using SignOnTest = SimBench;

TEST_F(SignOnTest, DriverSignsOnAndConverterHoldsTheConfiguration) {
  rec.gain = 8;
  rec.bipolar = 0;
  rec.remoteAvg = 16;
  rec.scanTable[0] = 0x03;
  rec.scanTable[5] = 0x10;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(converter.signOns(), 1);
  EXPECT_EQ(converter.lineBaud(), 9600u);
  EXPECT_EQ(converter.modeHigh(), 0x0C);
  EXPECT_EQ(converter.modeMid(), 0x97);
  EXPECT_EQ(converter.modeLow(), 0xA1);
  EXPECT_EQ(converter.remoteAvg(), 16u);
  EXPECT_EQ(converter.filter(), 2);
  EXPECT_EQ(converter.intervalCount(), 7811u);
  EXPECT_EQ(converter.scanTableEntry(0), 0x03);
  EXPECT_EQ(converter.scanTableEntry(5), 0x10);
  EXPECT_EQ(rec.firmwareVersion, 100);
}

}  // namespace
}  // namespace simtest
