// The converter's transfer function against the host's unit conversion:
// counts made from an input read back as that input, through Counts2Volts.
#include <cmath>

#include "converter.h"
#include "sim_bench.h"
#include "tovdrv.h"

namespace simtest {
namespace {

double readBack(uint32_t counts, int bytes, bool bipolar) {
  DeviceRecord rec = defaultRecord();
  rec.counts = int32_t(counts);
  rec.bytesPerConversion = int16_t(bytes);
  rec.bipolar = bipolar;
  return Counts2Volts(&rec);
}

TEST(ArithmeticTest, CountsReadBackAsTheInputWithinOneStepInEveryMode) {
  struct Mode {
    uint8_t mid;
    int bytes;
    bool bipolar;
    double step;  // mV per count as the host reads it
  };
  const Mode modes[] = {{0x80, 3, true, 2 * 0.0002980232},
                        {0x90, 3, false, 0.0002980232},
                        {0x00, 2, true, 2 * 256 * 0.0002980232},
                        {0x10, 2, false, 256 * 0.0002980232}};
  for (const Mode& m : modes) {
    for (double mv = -4999.0; mv <= 4999.0; mv += 97.3) {
      if (!m.bipolar && mv < 0) continue;
      const double back = readBack(k73::Converter::countsFor(mv, 0x00, m.mid), m.bytes, m.bipolar);
      EXPECT_NEAR(back, mv, m.step * 0.51 + 1e-6) << mv << " mV, mid " << int(m.mid);
    }
  }
}

TEST(ArithmeticTest, InputsBeyondTheRangeClipToItsEnds) {
  EXPECT_EQ(k73::Converter::countsFor(-6000, 0x00, 0x80), 0u);
  EXPECT_EQ(k73::Converter::countsFor(6000, 0x00, 0x80), 16777215u);
  EXPECT_EQ(k73::Converter::countsFor(-1, 0x00, 0x90), 0u);
  EXPECT_EQ(k73::Converter::countsFor(5001, 0x00, 0x10), 65535u);
  // A bipolar zero sits at mid-scale: the count whose reading is nearest 0 mV
  // (the host's factor is not exactly 5000 / 2^24, so that is 8388609).
  EXPECT_NEAR(readBack(k73::Converter::countsFor(0, 0x00, 0x80), 3, true), 0.0, 0.0003);
}

TEST(ArithmeticTest, GainCodeInTheHighModeByteMultipliesTheInput) {
  for (int code = 0; code < 8; ++code) {
    const uint8_t high = uint8_t(code << 2);
    const double back = readBack(k73::Converter::countsFor(30.0, high, 0x90), 3, false);
    EXPECT_NEAR(back, 30.0 * (1 << code), 0.001) << "gain code " << code;
  }
  // The standby bit does not change the gain.
  EXPECT_EQ(k73::Converter::countsFor(30.0, 0x0D, 0x90),
            k73::Converter::countsFor(30.0, 0x0C, 0x90));
}

}  // namespace
}  // namespace simtest
