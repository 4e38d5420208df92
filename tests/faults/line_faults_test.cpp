// The driver against a simulated converter that fails in the ways a real
// line and a real operator make it fail, in virtual time.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bench_record.h"
#include "converter.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace {

constexpr int kPoints = 4;

DeviceRecord faultRecord() {
  DeviceRecord rec = k73test::benchRecord();
  rec.filter = 2;
  rec.bipolar = 1;
  for (int16_t& e : rec.scanTable) e = 0x10;  // skipped
  rec.scanTable[0] = 0x02;                    // channel 0, codes 0..2
  rec.scanTable[2] = 0x55;                    // channel 2, code 5
  rec.pointsPerScan = kPoints;
  return rec;
}

k73::Model steadyModel() {
  k73::Model m = k73::Model::demo();
  m.noiseMv = 0;
  m.waveChannel = -1;
  return m;
}

class LineFaults : public ::testing::Test {
 protected:
  LineFaults() : converter(std::make_unique<k73::Converter>(steadyModel())) {
    DllEntryPoint(nullptr, 1, nullptr);
    bench.attach(1, converter.get());
  }
  ~LineFaults() override { DllEntryPoint(nullptr, 0, nullptr); }

  k73::Misbehaviour& faults() { return converter->model().misbehave; }

  // One scan as the program takes it: start marker (checked by the driver),
  // the points, the end marker. Empty when the driver refused the scan or the
  // end marker is wrong.
  std::vector<double> takeScan() {
    if (GetOneScan(&rec) != 1) return {};
    std::vector<double> mv;
    for (int i = 0; i < kPoints; ++i) {
      Gconv(&rec);
      mv.push_back(rec.millivolts);
    }
    const bool endOk = rec.scanBuffer[0] == 0x0F;
    RemFromBuffer(&rec, 1);
    if (!endOk) return {};
    return mv;
  }

  // The values of a healthy run, for comparison.
  std::vector<double> referenceScan() {
    EXPECT_EQ(SignOn(&rec), 1);
    EXPECT_EQ(StartScanning(&rec), 1);
    std::vector<double> mv = takeScan();
    EXPECT_EQ(mv.size(), size_t(kPoints));
    EXPECT_EQ(StopScanning(&rec), 1);
    return mv;
  }

  // After a fault: the port can be let go, nothing stays open, and a new
  // sign-on on a healthy converter gives correct scans again.
  void expectRecovery(const std::vector<double>& reference) {
    CloseDevice(&rec);
    EXPECT_EQ(bench.openPortCount(), 0);
    auto healthy = std::make_unique<k73::Converter>(steadyModel());
    bench.attach(1, healthy.get());
    converter = std::move(healthy);
    ASSERT_EQ(SignOn(&rec), 1);
    ASSERT_EQ(StartScanning(&rec), 1);
    EXPECT_EQ(takeScan(), reference);
    EXPECT_EQ(StopScanning(&rec), 1);
    CloseDevice(&rec);
    EXPECT_EQ(bench.openPortCount(), 0);
  }

  k73::VirtualBench bench;
  std::unique_ptr<k73::Converter> converter;
  DeviceRecord rec = faultRecord();
};

// The converter stops answering after sign-on: a conversion fails with
// lastError 1 within its reply time-out, a scan with lastError 2 within the
// interval plus two seconds (and the driver's attempt to sign on again).
TEST_F(LineFaults, AConverterThatFallsSilentFailsWithinTheDeadlines) {
  const std::vector<double> reference = referenceScan();
  ASSERT_EQ(SignOn(&rec), 1);
  faults().silent = true;
  int64_t start = bench.nowMs();
  EXPECT_EQ(GetConversion(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_LE(bench.nowMs() - start, rec.replyTimeout + 1);

  faults().silent = false;
  ASSERT_EQ(StartScanning(&rec), 1);
  ASSERT_EQ(takeScan(), reference);
  faults().silent = true;
  // A scan already on its way when the converter fell silent still arrives.
  start = bench.nowMs();
  std::vector<double> mv = takeScan();
  if (!mv.empty()) {
    EXPECT_EQ(mv, reference);
    start = bench.nowMs();
    mv = takeScan();
  }
  EXPECT_TRUE(mv.empty());
  EXPECT_EQ(rec.lastError, 2);
  // The scan's own deadline, then a pause and one sign-on attempt that fails.
  EXPECT_GE(bench.nowMs() - start, int64_t(rec.scanInterval * 1000) + 2000 - 500);
  EXPECT_LE(bench.nowMs() - start, 120'000);
  expectRecovery(reference);
}

// The cable is pulled in the middle of a scan run and a converter is plugged
// back on the same port: the run ends with lastError 2, and a new sign-on on
// the new converter works.
TEST_F(LineFaults, UnpluggedMidScanThenPluggedBack) {
  const std::vector<double> reference = referenceScan();
  ASSERT_EQ(SignOn(&rec), 1);
  ASSERT_EQ(StartScanning(&rec), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(takeScan(), reference);
  bench.detach(1);
  const int64_t start = bench.nowMs();
  EXPECT_TRUE(takeScan().empty());
  EXPECT_EQ(rec.lastError, 2);
  EXPECT_LE(bench.nowMs() - start, 120'000);
  EXPECT_EQ(GetConversion(&rec), 0);
  expectRecovery(reference);
}

// Line faults in a running stream: noise bursts, lost bytes and doubled
// bytes. Whatever the driver accepts as a scan (start marker, all points,
// end marker) carries the converter's true values; the damage shows as a
// failed scan within a few scans, never as wrong numbers.
TEST_F(LineFaults, DamagedStreamsNeverYieldWrongValues) {
  struct Case {
    const char* name;
    int noiseAfter, dropEvery, doubleEvery;
  };
  const Case cases[] = {
      {"noise burst", 60, 0, 0}, {"lost bytes", -1, 37, 0}, {"doubled bytes", -1, 0, 41}};
  const std::vector<double> reference = referenceScan();
  int streamsDamaged = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CloseDevice(&rec);
    auto faulty = std::make_unique<k73::Converter>(steadyModel());
    faulty->model().misbehave.noiseBurstAfterBytes = c.noiseAfter;
    faulty->model().misbehave.dropByteEvery = c.dropEvery;
    faulty->model().misbehave.doubleByteEvery = c.doubleEvery;
    bench.attach(1, faulty.get());
    converter = std::move(faulty);
    if (SignOn(&rec) != 1) continue;  // the fault hit the sign-on: reported, fine
    if (StartScanning(&rec) != 1) continue;
    int good = 0, failed = 0;
    for (int scan = 0; scan < 12 && failed == 0; ++scan) {
      const std::vector<double> mv = takeScan();
      if (mv.empty()) {
        ++failed;
      } else {
        EXPECT_EQ(mv, reference) << "scan " << scan;
        ++good;
      }
    }
    EXPECT_EQ(failed, 1) << "the damage went unnoticed for " << good << " scans";
    streamsDamaged += failed;
    StopScanning(&rec);
  }
  EXPECT_EQ(streamsDamaged, 3) << "a fault struck before the scans: choose a later byte";
  expectRecovery(reference);
}

// Nobody reads while the converter streams into a small input queue: the
// driver reports an overflow (-1 scans, lastError 3) instead of handing out
// scans from a queue that lost bytes.
TEST_F(LineFaults, AnInputQueueThatOverflowsIsReported) {
  const std::vector<double> reference = referenceScan();
  rec.inQueueSize = 64;
  ASSERT_EQ(SignOn(&rec), 1);
  ASSERT_EQ(StartScanning(&rec), 1);
  bench.advanceToUs(bench.nowUs() + 30'000'000);  // 30 s unread: 15 scans of 14 bytes
  EXPECT_EQ(GetNumScansInBuffer(&rec), -1);
  EXPECT_EQ(rec.lastError, 3);
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 3);
  StopScanning(&rec);
  rec.inQueueSize = 1024;
  expectRecovery(reference);
}

}  // namespace
