// Polled commands through the real driver: conversions read back the input,
// settings reach the converter, checksum and sleep.
#include <cmath>

#include "sim_bench.h"

namespace simtest {
namespace {

class PolledTest : public SimBench {
 protected:
  void SetUp() override { ASSERT_EQ(SignOn(&rec), 1); }
};

TEST_F(PolledTest, ConversionReadsBackTheInputInEveryRangeAndWordLength) {
  struct Case {
    int bytes, bipolar;
    double mv, tolerance;
  };
  const Case cases[] = {
      {3, 1, 1234.5, 0.001}, {3, 0, 1234.5, 0.001}, {2, 1, -1500.0, 0.16}, {2, 0, 4000.0, 0.08}};
  for (const Case& c : cases) {
    rec.bytesPerConversion = c.bytes;
    rec.bipolar = c.bipolar;
    converter.model().inputMv[0][0] = c.mv;
    ASSERT_EQ(SendADMode(&rec), 1);
    ASSERT_EQ(GetConversion(&rec), 1);
    const double expected = c.bipolar || c.mv >= 0 ? c.mv : 0.0;
    EXPECT_NEAR(rec.millivolts, expected, c.tolerance)
        << c.bytes << " bytes, bipolar " << c.bipolar;
  }
}

}  // namespace
}  // namespace simtest
