// The scan-time limits, the interval on the timer's tick grid, the averaging
// that gives way when even the shortest scan outlasts the timer, and the
// filter settling wait.
#include <cmath>

#include "scan_bench.h"

namespace scanbench {
namespace {

// The bench set-up of the worked figures: old firmware, 9600 baud, no
// averaging, 10 Hz, 400 Hz filter, no counter preset, six 24-bit points.
DeviceRecord timingRecord() {
  DeviceRecord rec{};
  rec.firmwareVersion = 100;
  rec.baudIndex = 0;
  rec.remoteAvg = 1;
  rec.sampleRate = 10;
  rec.filter = 2;
  rec.counterPreset = -1;
  rec.pointsPerScan = 6;
  rec.bytesPerConversion = 3;
  rec.scanType = 1;
  return rec;
}

struct Limits {
  const char* what;
  int16_t firmware, scanType, filter, baudIndex;
  int32_t counterPreset;
  float sampleRate;
  double interval;
  double minimum, maximum, snapped;  // maximum < 0: not checked
  int result;
};

TEST(CheckScanTime, MatchesTheConvertersTimerForEachSetUp) {
  const Limits cases[] = {
      {"normal scan at 2 s", 100, 1, 2, 0, -1, 10, 2.0, 1.984, 4232.999936, 1.999872, 1},
      {"normal scan at 1 s", 100, 1, 2, 0, -1, 10, 1.0, 1.984, 4232.999936, 0.999936, 0},
      {"newer firmware", 101, 1, 2, 0, -1, 10, 2.0, 1.9841024, 3385.9999744, 1.999872, 1},
      {"newer firmware with a preset", 101, 1, 2, 0, 0, 10, 2.0, 1.9869696, -1, 1.999872, 1},
      {"older firmware with a preset", 100, 1, 2, 0, 0, 10, 2.0, 7761 / 3906.25, -1, 1.999872, 1},
      {"self-calibrating scan", 100, 2, 2, 0, -1, 10, 2.0, 2.860288, -1, 1.999872, 0},
      {"single channel", 100, 0, 2, 0, -1, 10, 0.1, 0.100352, -1, 0.09984, 0},
      {"single channel, line slower than conversion", 100, 0, 2, 3, -1, 1000, 1.0, 0.024576,
       std::floor(4233 * 8 * 488.28125) / 488.28125, 488 / 488.28125, 1},
      {"4 Hz filter", 100, 1, 0, 0, -1, 10, 30.0, std::trunc(23.94705 * 3906.25) / 3906.25, -1,
       29.999872, 1},
      {"interval 0 becomes one tick", 100, 1, 2, 0, -1, 10, 0.0, 1.984, -1, 1 / 3906.25, 0},
  };
  for (const Limits& c : cases) {
    DeviceRecord rec = timingRecord();
    rec.firmwareVersion = c.firmware;
    rec.scanType = c.scanType;
    rec.filter = c.filter;
    rec.baudIndex = c.baudIndex;
    rec.counterPreset = c.counterPreset;
    rec.sampleRate = c.sampleRate;
    rec.scanInterval = c.interval;
    double maximum = 0, minimum = 0;
    EXPECT_EQ(CheckScanTime(&rec, &maximum, &minimum), c.result) << c.what;
    EXPECT_NEAR(minimum, c.minimum, 1e-9) << c.what;
    if (c.maximum >= 0) {
      EXPECT_NEAR(maximum, c.maximum, 1e-7) << c.what;
    }
    EXPECT_NEAR(rec.scanInterval, c.snapped, 1e-9) << c.what;
    EXPECT_EQ(rec.remoteAvg, 1u) << c.what;
  }
}

TEST(CheckScanTime, SnappedIntervalIsStableAndMatchesTheSignOnCount) {
  DeviceRecord rec = timingRecord();
  rec.scanInterval = 2.0;
  double maximum = 0, minimum = 0;
  CheckScanTime(&rec, &maximum, &minimum);
  const double once = rec.scanInterval;
  EXPECT_DOUBLE_EQ(once * 3906.25, 7812.0);  // 7811 ticks sent, one more timed
  CheckScanTime(&rec, &maximum, &minimum);
  EXPECT_DOUBLE_EQ(rec.scanInterval, once);
}

// The averaging can only be halved with a converter to tell.
using CheckScanTimeOnLine = ScanBench;

TEST_F(CheckScanTimeOnLine, HalvedAveragingIsJudgedWithTheScanItGives) {
  rec.pointsPerScan = 6;
  rec.remoteAvg = 8192;
  rec.scanInterval = 3000;
  double maximum = 0, minimum = 0;
  // 6 x (8194 / 10 + 0.82 x 0.036) + 0.007 = 4916.58 s exceeds the 4233 s timer;
  // with 4096 the scan takes 2458.98 s, and 3000 s is then within limits.
  EXPECT_EQ(CheckScanTime(&rec, &maximum, &minimum), 2);
  EXPECT_EQ(rec.remoteAvg, 4096u);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{4, 12}}));
  EXPECT_NEAR(minimum, std::trunc(2458.98417 * 3906.25) / 3906.25, 1e-9);
  EXPECT_NEAR(maximum, 4232.999936, 1e-7);

  // Nothing more to halve on a second look.
  EXPECT_EQ(CheckScanTime(&rec, &maximum, &minimum), 1);
  EXPECT_EQ(rec.remoteAvg, 4096u);
  EXPECT_EQ(converter.packets.size(), 1u);
}

TEST_F(CheckScanTimeOnLine, AveragingIsHalvedOnceEvenWhenThatIsNotEnough) {
  rec.pointsPerScan = 6;
  rec.scanInterval = 1.0;
  rec.remoteAvg = 8192;
  double maximum = 0, minimum = 0;
  EXPECT_EQ(CheckScanTime(&rec, &maximum, &minimum), 0);  // 1 s is below 2458.98 s
  EXPECT_EQ(rec.remoteAvg, 4096u);

  rec.remoteAvg = 65536;  // still 19663 s after one halving
  rec.scanInterval = 4000;
  EXPECT_EQ(CheckScanTime(&rec, &maximum, &minimum), 0);
  EXPECT_EQ(rec.remoteAvg, 32768u);
  EXPECT_GT(minimum, maximum);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{4, 12}, Packet{4, 15}}));
}

TEST_F(ScanBench, FilterDelayWaitsForTheFilterToSettle) {
  const struct {
    int16_t filter;
    int64_t waitMs;
  } cases[] = {{0, 8500}, {1, 500}, {2, 500}};
  for (const auto& c : cases) {
    rec.filter = c.filter;
    const int64_t start = bench.nowMs();
    const int32_t end = FilterDelay(&rec);
    EXPECT_EQ(end, start + c.waitMs) << "filter " << c.filter;
    EXPECT_EQ(bench.nowMs(), end);
  }
  EXPECT_TRUE(converter.packets.empty());
}

}  // namespace
}  // namespace scanbench
