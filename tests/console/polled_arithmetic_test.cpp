// The polled meter's arithmetic: averaging conversions into one reading, and
// the noise figures over blocks of 40 readings.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "polled.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::TestDevices;

// The converter's unit conversion: counts to millivolts.
double UnitConversion(DeviceRecord* rec) {
  double value = rec->counts * 0.0002980232;
  if (rec->bytesPerConversion == 2) value *= 256;
  if (rec->bipolar != 0) value = 2 * value - 5000;
  return value;
}

struct Conversion {
  int32_t counts;
  double millivolts;
};

class PolledArithmetic : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.Counts2Volts = UnitConversion;
    fake.GetConversion = [this](DeviceRecord* rec) -> int16_t {
      if (next >= conversions.size()) return 0;
      rec->counts = conversions[next].counts;
      rec->millivolts = conversions[next].millivolts;
      ++next;
      return 1;
    };
    fake.install();
    rec = &devices[0];
    rec->bytesPerConversion = 3;
    rec->bipolar = 0;
  }

  // Forty readings through the block, the given counts repeated in turn.
  void FeedBlock(const std::vector<int32_t>& pattern) {
    for (int i = 0; i < 40; ++i) {
      rec->counts = pattern[i % pattern.size()];
      UpdateNoiseStats(stats, rec);
    }
  }

  TestDevices devices;
  FakeDriver fake;
  DeviceRecord* rec = nullptr;
  std::vector<Conversion> conversions;
  size_t next = 0;
  NoiseStats stats;
};

TEST_F(PolledArithmetic, ReadingAveragesCountsTruncatedAndMillivoltsExactly) {
  conversions = {{10, 1.0}, {11, 2.0}, {11, 2.5}, {11, 3.5}};
  ASSERT_TRUE(TakePolledReading(rec, 4));
  EXPECT_EQ(rec->counts, 10);  // 43 / 4
  EXPECT_DOUBLE_EQ(rec->millivolts, 2.25);
  EXPECT_EQ(fake.count("GetConversion"), 4);

  conversions = {{-3, -1.0}, {-4, -2.0}};
  next = 0;
  ASSERT_TRUE(TakePolledReading(rec, 2));
  EXPECT_EQ(rec->counts, -3);  // -7 / 2 truncates toward zero
  EXPECT_DOUBLE_EQ(rec->millivolts, -1.5);
}

TEST_F(PolledArithmetic, LongAverageOfFullScaleCountsDoesNotOverflow) {
  // 32767 full-scale 24-bit conversions add up to far more than 2^31.
  conversions.assign(32767, {16777215, 4999.9993});
  ASSERT_TRUE(TakePolledReading(rec, 32767));
  EXPECT_EQ(rec->counts, 16777215);
  EXPECT_NEAR(rec->millivolts, 4999.9993, 1e-6);
}

TEST_F(PolledArithmetic, ReadingStopsAtTheFirstFailedConversion) {
  conversions = {{5, 1.0}};
  EXPECT_FALSE(TakePolledReading(rec, 4));
  EXPECT_EQ(fake.count("GetConversion"), 2);
}

TEST_F(PolledArithmetic, AveragingCountBelowOneCountsAsOne) {
  EXPECT_EQ(LocalAveragingInUse(1), 1);
  EXPECT_EQ(LocalAveragingInUse(0), 1);
  EXPECT_EQ(LocalAveragingInUse(-3), 1);
  EXPECT_EQ(LocalAveragingInUse(65536), 1);  // low 16 bits are 0
  EXPECT_EQ(LocalAveragingInUse(65537), 1);
  EXPECT_EQ(LocalAveragingInUse(32768), 1);  // low 16 bits are -32768
  EXPECT_EQ(LocalAveragingInUse(300), 300);

  conversions = {{7, 0.5}};
  ASSERT_TRUE(TakePolledReading(rec, 0));
  EXPECT_EQ(rec->counts, 7);
}

TEST_F(PolledArithmetic, EffectiveResolutionSteps) {
  EXPECT_DOUBLE_EQ(EffectiveResolution(0.0, 3), 24.0);
  EXPECT_DOUBLE_EQ(EffectiveResolution(0.99, 3), 24.0);
  EXPECT_DOUBLE_EQ(EffectiveResolution(1.0, 3), 23.5);
  EXPECT_DOUBLE_EQ(EffectiveResolution(1.5, 3), 23.0);
  EXPECT_DOUBLE_EQ(EffectiveResolution(2.5, 3), 22.5);
  EXPECT_DOUBLE_EQ(EffectiveResolution(3.0, 3), 22.0);
  EXPECT_DOUBLE_EQ(EffectiveResolution(0.5, 2), 16.0);
  EXPECT_DOUBLE_EQ(EffectiveResolution(1.0, 2), 15.5);
  EXPECT_DOUBLE_EQ(EffectiveResolution(1000.0, 2), 6.0);  // 1000 / 2^10 = 0.977
}

TEST_F(PolledArithmetic, NothingIsPublishedBeforeTheFortiethReading) {
  for (int i = 1; i < 40; ++i) {
    rec->counts = 1000 + i;
    UpdateNoiseStats(stats, rec);
    EXPECT_EQ(stats.count, i + 1);
  }
  EXPECT_EQ(stats.average, 0.0);
  EXPECT_EQ(stats.stdDev, 0.0);
  EXPECT_EQ(stats.effectiveBits, 0.0);
  EXPECT_EQ(fake.count("Counts2Volts"), 0);

  rec->counts = 1040;
  UpdateNoiseStats(stats, rec);
  EXPECT_EQ(stats.count, 1);
  EXPECT_EQ(stats.sum, 0.0);
  EXPECT_NE(stats.average, 0.0);
  EXPECT_EQ(rec->counts, 1040);  // the record keeps the reading
}

TEST_F(PolledArithmetic, IdenticalReadingsHaveNoNoiseInEveryMode) {
  FeedBlock({8388608});
  EXPECT_DOUBLE_EQ(stats.average, 8388608 * 0.0002980232);
  EXPECT_DOUBLE_EQ(stats.stdDev, 0.0);
  EXPECT_DOUBLE_EQ(stats.effectiveBits, 24.0);

  rec->bipolar = 1;  // Counts2Volts(0) is -5000, and the 5000 added back cancels it
  FeedBlock({8388608});
  EXPECT_NEAR(stats.average, -0.0004, 1e-4);
  EXPECT_DOUBLE_EQ(stats.stdDev, 0.0);
  EXPECT_DOUBLE_EQ(stats.effectiveBits, 24.0);

  rec->bytesPerConversion = 2;
  FeedBlock({32768});
  EXPECT_DOUBLE_EQ(stats.stdDev, 0.0);
  EXPECT_DOUBLE_EQ(stats.effectiveBits, 16.0);
}

TEST_F(PolledArithmetic, BlockStatisticsFollowTheSampleDeviation) {
  // Half at 1000, half at 1004: mean 1002, sigma = sqrt(40 * 4 / 39) = 2.025.
  FeedBlock({1000, 1004});
  EXPECT_DOUBLE_EQ(stats.average, 1002 * 0.0002980232);
  EXPECT_DOUBLE_EQ(stats.stdDev, 2 * 0.0002980232);  // sigma truncated to 2 counts
  EXPECT_DOUBLE_EQ(stats.effectiveBits, 22.5);

  // Bipolar: the deviation is a span of 2 * sigma * k.
  rec->bipolar = 1;
  FeedBlock({1000, 1004});
  EXPECT_NEAR(stats.stdDev, 4 * 0.0002980232, 1e-9);

  // A block mean that is not whole is truncated toward zero: 1000.5 -> 1000.
  rec->bipolar = 0;
  FeedBlock({1000, 1001});
  EXPECT_DOUBLE_EQ(stats.average, 1000 * 0.0002980232);
  EXPECT_DOUBLE_EQ(stats.effectiveBits, 24.0);  // sigma 0.506
}

TEST_F(PolledArithmetic, ResetStartsANewBlockAndClearsTheFigures) {
  FeedBlock({1000, 1004});
  for (int i = 0; i < 10; ++i) UpdateNoiseStats(stats, rec);
  ResetNoiseStats(stats);
  EXPECT_EQ(stats.count, 1);
  EXPECT_EQ(stats.sum, 0.0);
  EXPECT_EQ(stats.average, 0.0);
  EXPECT_EQ(stats.stdDev, 0.0);
  EXPECT_EQ(stats.effectiveBits, 0.0);
  // The next block is a full 40 again: nothing from before the reset counts.
  FeedBlock({500});
  EXPECT_DOUBLE_EQ(stats.stdDev, 0.0);
  EXPECT_DOUBLE_EQ(stats.average, 500 * 0.0002980232);
}

TEST_F(PolledArithmetic, DamagedBlockPositionStartsTheBlockAgain) {
  for (int32_t bad : {0, -5, 41, 1000}) {
    stats.count = bad;
    stats.sum = 123456.0;
    rec->counts = 77;
    UpdateNoiseStats(stats, rec);
    EXPECT_EQ(stats.count, 2) << bad;
    EXPECT_EQ(stats.sum, 77.0) << bad;
    EXPECT_EQ(stats.samples[1], 77.0) << bad;
  }
}

}  // namespace
}  // namespace tov
