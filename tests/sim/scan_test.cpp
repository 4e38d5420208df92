// The scan stream through the real driver: layouts, timing, the rate byte,
// digital inputs in the stream, stop, and the stream's faults.
#include <vector>

#include "link.h"
#include "sim_bench.h"

namespace simtest {
namespace {

class ScanTest : public SimBench {
 protected:
  // Channel 0 codes 0..2, channel 2 code 5, the others skipped: 4 points.
  void SetUp() override {
    for (int16_t& e : rec.scanTable) e = 0x10;
    rec.scanTable[0] = 0x02;
    rec.scanTable[2] = 0x55;
    rec.pointsPerScan = 4;
    rec.scanInterval = 2.0;
  }

  void signOnAndStart() {
    ASSERT_EQ(SignOn(&rec), 1);
    ASSERT_EQ(StartScanning(&rec), 1);
  }

  // One scan through the driver, as millivolts; checks and drops the end marker.
  std::vector<double> oneScan(int points) {
    std::vector<double> mv;
    EXPECT_EQ(GetOneScan(&rec), 1) << "lastError " << rec.lastError;
    for (int i = 0; i < points; ++i) {
      Gconv(&rec);
      mv.push_back(rec.millivolts);
    }
    if (rec.scanType != 0) {
      EXPECT_EQ(rec.scanBuffer[0], 0x0F);
      RemFromBuffer(&rec, 1);
    }
    return mv;
  }

  // Times at which scan start markers were complete at the host.
  std::vector<int64_t> markerTimes() {
    std::vector<int64_t> t;
    for (const k73::WireByte& b : bench.received(1)) {
      if (b.byte == 0xF0) t.push_back(b.tUs);
    }
    return t;
  }
};

TEST_F(ScanTest, NormalScanSendsTablePointsBetweenMarkers) {
  signOnAndStart();
  for (int scan = 0; scan < 3; ++scan) {
    const std::vector<double> mv = oneScan(4);
    ASSERT_EQ(mv.size(), 4u);
    EXPECT_NEAR(mv[0], 1234.5, 0.001);
    EXPECT_NEAR(mv[1], 1244.5, 0.001);
    EXPECT_NEAR(mv[2], 1254.5, 0.001);
    EXPECT_NEAR(mv[3], -1450.0, 0.001);
  }
  EXPECT_EQ(StopScanning(&rec), 1);
  EXPECT_FALSE(converter.scanning());
}

TEST_F(ScanTest, SelfCalibratingScanLeadsWithZeroAndFullScale) {
  rec.scanType = 2;
  rec.scanInterval = 3.0;
  signOnAndStart();
  const std::vector<double> mv = oneScan(6);
  EXPECT_NEAR(mv[0], 0.0, 0.001);
  EXPECT_NEAR(mv[1], 4990.0, 0.001);
  EXPECT_NEAR(mv[2], 1234.5, 0.001);
  EXPECT_NEAR(mv[5], -1450.0, 0.001);
}

TEST_F(ScanTest, SingleChannelScanIsOneBareWordFromTheSelectedChannel) {
  rec.scanType = 0;
  rec.channel = 3;
  rec.subChannel = 2;
  rec.bytesPerConversion = 2;
  rec.scanInterval = 0.2;
  signOnAndStart();
  EXPECT_EQ(converter.channelCode(), 0x32);
  const size_t before = bench.received(1).size();
  const std::vector<double> mv = oneScan(1);
  EXPECT_NEAR(mv[0], 4020.0, 0.08);
  EXPECT_EQ(rec.scanBufferCount, 0);
  EXPECT_EQ(bench.received(1).size() - before, 2u);
}

TEST_F(ScanTest, ScansComeOneTimerIntervalApart) {
  signOnAndStart();
  // 2 s at 3906.25 ticks per second is a count of 7811, so 7812 ticks.
  EXPECT_EQ(converter.intervalCount(), 7811u);
  const int64_t intervalUs = int64_t(7812 / 3906.25 * 1e6 + 0.5);
  for (int i = 0; i < 5; ++i) oneScan(4);
  const std::vector<int64_t> t = markerTimes();
  ASSERT_GE(t.size(), 5u);
  for (size_t i = 1; i < t.size(); ++i) EXPECT_EQ(t[i] - t[i - 1], intervalUs) << i;
}

TEST_F(ScanTest, IntervalTooShortForTheScanSendsTheRateByte) {
  rec.scanInterval = 0.05;  // 4 points at 10 Hz take 0.4 s
  signOnAndStart();
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 10);
  // Transmission alone can be too slow too: 4 points at 300 baud need 0.47 s.
  rec.sampleRate = 1000;
  rec.baudIndex = 5;
  rec.scanInterval = 0.3;
  signOnAndStart();
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 10);
}

// The converter serves the intervals the driver's timing rule accepts, for
// every scan type, rate, filter, averaging and firmware. The rule rounds its
// minimum down to the timer grid, which can fall just below the time a
// single-channel word needs on the line, so the test asks 10% more.
TEST_F(ScanTest, IntervalsTheDriverAcceptsAreServed) {
  for (int type : {0, 1, 2}) {
    for (int baudIndex : {0, 3, 5}) {
      for (int filter : {0, 2}) {
        for (uint32_t avg : {1u, 16u}) {
          for (int firmware : {100, 120}) {
            converter.model().firmwareVersion = uint8_t(firmware);
            rec.scanType = int16_t(type);
            rec.baudIndex = int16_t(baudIndex);
            rec.filter = int16_t(filter);
            rec.remoteAvg = avg;
            rec.sampleRate = 100;
            double maxS = 0, minS = 0;
            rec.scanInterval = 0;
            CheckScanTime(&rec, &maxS, &minS);
            rec.scanInterval = minS * 1.1;
            ASSERT_GE(CheckScanTime(&rec, &maxS, &minS), 1);
            ASSERT_EQ(SignOn(&rec), 1);
            ASSERT_EQ(StartScanning(&rec), 1);
            const int points = type == 0 ? 1 : type == 2 ? 6 : 4;
            for (int i = 0; i < 2; ++i) {
              ASSERT_EQ(GetOneScan(&rec), 1)
                  << "type " << type << " baud index " << baudIndex << " filter " << filter
                  << " avg " << avg << " firmware " << firmware << " interval " << minS
                  << " lastError " << rec.lastError;
              for (int p = 0; p < points; ++p) Gconv(&rec);
              if (type != 0) RemFromBuffer(&rec, 1);
            }
            ASSERT_EQ(StopScanning(&rec), 1);
          }
        }
      }
    }
  }
}

TEST_F(ScanTest, DigitalInputAnswerRidesInFrontOfTheNextScan) {
  signOnAndStart();
  uint8_t fresh = 0;
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);  // sends the query
  Gconv(&rec), Gconv(&rec), Gconv(&rec), Gconv(&rec);
  RemFromBuffer(&rec, 1);
  EXPECT_EQ(fresh, 0);
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  EXPECT_EQ(fresh, 1);
  EXPECT_EQ(rec.digitalIn, 0x5A);
  Gconv(&rec);
  EXPECT_NEAR(rec.millivolts, 1234.5, 0.001);
  // The answer's two bytes come straight before a start marker.
  const auto& got = bench.received(1);
  size_t at = 0;
  for (size_t i = 0; i + 2 < got.size(); ++i) {
    if (got[i].byte == 0x80 && got[i + 1].byte == 0x5A && got[i + 2].byte == 0xF0) at = i;
  }
  EXPECT_GT(at, 0u);
}

TEST_F(ScanTest, StopEndsTheStreamWithItsByteEvenInTheMiddleOfALongScan) {
  for (int16_t& e : rec.scanTable) e = 0x06;  // 42 points: 128 bytes, 4.3 s at 300 baud
  rec.pointsPerScan = 42;
  rec.baudIndex = 5;
  rec.sampleRate = 1000;
  rec.scanInterval = 10.0;
  signOnAndStart();
  bench.advanceToUs(bench.nowUs() + 1'000'000);  // the first scan is on its way
  const size_t before = bench.received(1).size();
  ASSERT_EQ(StopScanning(&rec), 1);
  EXPECT_LT(bench.received(1).size() - before, 128u);
  EXPECT_EQ(bench.received(1).back().byte, 0x8A);
  bench.advanceToUs(bench.nowUs() + 20'000'000);
  EXPECT_EQ(bench.received(1).back().byte, 0x8A);  // and nothing after it
}

TEST_F(ScanTest, MarkerFaultsShowAsFramingFailures) {
  converter.model().misbehave.badStartMarker = true;
  signOnAndStart();
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  StopScanning(&rec);
  converter.model().misbehave.badStartMarker = false;
  converter.model().misbehave.badEndMarker = true;
  ASSERT_EQ(StartScanning(&rec), 1);
  ASSERT_EQ(GetOneScan(&rec), 1);
  for (int i = 0; i < 4; ++i) Gconv(&rec);
  EXPECT_EQ(rec.scanBuffer[0], 0x0E);
}

TEST_F(ScanTest, StreamThatStopsTellsTheRateByteFromALostScan) {
  struct Case {
    int stopAfter;
    bool rateByte;
    int cutAfter;
    int expectedError;
  };
  const Case cases[] = {{2, true, -1, 10}, {2, false, -1, 2}, {-1, false, 3, 2}};
  for (const Case& c : cases) {
    k73::Converter faulty(quietModel());
    faulty.model().misbehave.stopAfterScans = c.stopAfter;
    faulty.model().misbehave.stopAfterRateByte = c.rateByte;
    faulty.model().misbehave.cutScanAfterBytes = c.cutAfter;
    bench.attach(1, &faulty);
    signOnAndStart();
    int good = 0;
    while (good < 5 && GetOneScan(&rec) == 1) {
      for (int i = 0; i < 4; ++i) Gconv(&rec);
      RemFromBuffer(&rec, 1);
      ++good;
    }
    EXPECT_EQ(good, c.stopAfter < 0 ? 0 : c.stopAfter);
    EXPECT_EQ(rec.lastError, c.expectedError);
    CloseDevice(&rec);
  }
}

TEST_F(ScanTest, MissingStopByteFailsTheStop) {
  converter.model().misbehave.noStopByte = true;
  signOnAndStart();
  oneScan(4);
  EXPECT_EQ(StopScanning(&rec), 0);
}

// The stream is made as it falls due: however long nobody reads, the
// converter holds at most the scan in progress.
TEST_F(ScanTest, StreamIsGeneratedLazily) {
  signOnAndStart();
  bench.detach(1);
  const int64_t start = bench.nowUs();
  for (int i = 1; i <= 2000; ++i) {
    int64_t t = converter.nextByteTime();
    ASSERT_NE(t, k73::kNever);
    ASSERT_LT(t, start + int64_t(i + 2) * 2'000'000);
    uint32_t baud = 0;
    converter.takeByte(&baud);
  }
  EXPECT_LE(converter.scansSent(), 2000 / 14 + 2);
}

}  // namespace
}  // namespace simtest
