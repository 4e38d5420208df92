// Starting and stopping the scan stream, counting what waits, and taking one
// scan at a time, with its deadline, framing and recovery.
#include "scan_bench.h"

namespace scanbench {
namespace {

using ScanStart = ScanBench;

TEST_F(ScanStart, EachScanTypeSendsItsStartCommandAndWantsTheEcho) {
  const struct {
    int16_t scanType;
    uint8_t command;
  } cases[] = {{1, 0x89}, {2, 0x8C}, {7, 0x89}};
  converter.onPacket = [](uint8_t command, uint8_t) { return Bytes{command}; };
  for (const auto& c : cases) {
    converter.packets.clear();
    rec.scanType = c.scanType;
    rec.scanBufferCount = 3;
    rec.digInPending = 1;
    EXPECT_EQ(StartScanning(&rec), 1) << "type " << c.scanType;
    EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{c.command, 5}}));
    EXPECT_EQ(rec.scanBufferCount, 0);
    EXPECT_EQ(rec.digInPending, 0);
  }

  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x8A}; };
  EXPECT_EQ(StartScanning(&rec), 0);
  converter.onPacket = nullptr;
  const int64_t start = bench.nowMs();
  EXPECT_EQ(StartScanning(&rec), 0);
  EXPECT_EQ(bench.nowMs() - start, 2000);  // replyTimeout
}

TEST_F(ScanStart, SingleChannelWaitsForTheFilterBetweenSelectAndStart) {
  const struct {
    int16_t filter;
    int64_t pauseMs;
  } cases[] = {{0, 10002}, {1, 2122}, {2, 1074}};
  rec.scanType = 0;
  converter.onPacket = [](uint8_t command, uint8_t) {
    return command == 0x8B ? Bytes{0x8B} : Bytes{};
  };
  for (const auto& c : cases) {
    converter.packets.clear();
    bench.advanceToUs((bench.nowMs() + 1) * 1000);  // the clock counts whole milliseconds
    const size_t first = bench.sent(1).size();
    rec.filter = c.filter;
    EXPECT_EQ(StartScanning(&rec), 1);
    ASSERT_EQ(converter.packets, (std::vector<Packet>{Packet{1, 0x25}, Packet{0x8B, 5}}));
    const std::vector<k73::WireByte>& sent = bench.sent(1);
    ASSERT_EQ(sent.size(), first + 6);
    EXPECT_EQ(sent[first + 3].tUs - sent[first + 2].tUs, c.pauseMs * 1000) << "filter " << c.filter;
  }
}

// Scans that cannot fit the 128-byte scanBuffer are refused everywhere
// before a byte is stored, instead of running past its end.
TEST_F(ScanStart, ScanListsTooLongForTheScanBufferAreRefused) {
  converter.onPacket = [](uint8_t command, uint8_t) { return Bytes{command}; };
  const struct {
    int16_t scanType, points, width;
  } tooLong[] = {{1, 43, 3}, {2, 41, 3}, {1, 64, 2}, {1, 32767, 3},
                 {1, -1, 2}, {2, -3, 2}, {1, -40, 3}};
  for (const auto& c : tooLong) {
    rec.scanType = c.scanType;
    rec.pointsPerScan = c.points;
    rec.bytesPerConversion = c.width;
    rec.lastError = 0;
    EXPECT_EQ(StartScanning(&rec), 0) << c.points << " points";
    EXPECT_EQ(rec.lastError, 256);
    // The caller waiting for scans is sent on to GetOneScan, which reports it.
    fillQueue(5);
    EXPECT_EQ(GetNumScansInBuffer(&rec), -1);
    EXPECT_EQ(rec.lastError, 3);
    rec.lastError = 0;
    EXPECT_EQ(GetOneScan(&rec), 0);
    EXPECT_EQ(rec.lastError, 3);
    EXPECT_EQ(GetNumBytesInBuffer(&rec), 5u);  // nothing was read
    EXPECT_EQ(rec.scanBufferCount, 0);
    uint8_t fresh = 0;
    rec.lastError = 0;
    EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 0);
    EXPECT_EQ(rec.lastError, 3);
    EXPECT_EQ(GetNumBytesInBuffer(&rec), 5u);
    uint8_t drained = 0;
    tov::drainInput(&rec, &drained);
  }
  EXPECT_TRUE(converter.packets.empty());

  // The longest lists that fit are served in full.
  const struct {
    int16_t scanType, points, width;
  } longest[] = {{1, 42, 3}, {2, 40, 3}, {1, 63, 2}, {2, 61, 2}};
  for (const auto& c : longest) {
    rec.scanType = c.scanType;
    rec.pointsPerScan = c.points;
    rec.bytesPerConversion = c.width;
    ASSERT_EQ(StartScanning(&rec), 1);
    const int points = c.scanType == 2 ? c.points + 2 : c.points;
    converter.transmit(bench.nowUs() + kByteUs, framedScan(points, c.width));
    EXPECT_EQ(GetOneScan(&rec), 1) << c.points << " points";
    EXPECT_EQ(rec.scanBufferCount, 127);
    EXPECT_EQ(rec.scanBuffer[126], 0x0F);
  }
}

TEST_F(ScanBench, ScansWaitingAreCountedWholeUntilTheQueueOverflows) {
  rec.pointsPerScan = 6;  // B = 20
  EXPECT_EQ(GetNumScansInBuffer(&rec), 0);
  fillQueue(19);
  EXPECT_EQ(GetNumScansInBuffer(&rec), 0);
  fillQueue(31);  // two and a half scans
  EXPECT_EQ(GetNumBytesInBuffer(&rec), 50u);
  EXPECT_EQ(GetNumScansInBuffer(&rec), 2);
  fillQueue(1014 - 50);
  EXPECT_EQ(GetNumScansInBuffer(&rec), 1014 / 20);
  rec.lastError = 0;
  fillQueue(1);
  EXPECT_EQ(GetNumScansInBuffer(&rec), -1);
  EXPECT_EQ(rec.lastError, 3);

  rec.lastError = 0;
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 3);
  EXPECT_EQ(GetNumBytesInBuffer(&rec), 1015u);  // nothing taken
  EXPECT_EQ(rec.scanBufferCount, 0);
}

TEST_F(ScanBench, OneScanLosesItsStartMarkerAndKeepsItsPointsAndEndMarker) {
  const Bytes scan = framedScan(2, 3);
  const int64_t start = bench.nowUs();
  converter.transmit(start + 30'000, scan);
  converter.transmit(start + 90'000, scan);
  rec.rxChecksum = 0;
  ASSERT_EQ(GetOneScan(&rec), 1);
  EXPECT_EQ(held(), Bytes(scan.begin() + 1, scan.end()));
  EXPECT_EQ(bench.nowUs(), start + 30'000 + 7 * kByteUs);  // back as the 0x0F arrives
  int sum = 0;
  for (uint8_t b : scan) sum += b;
  EXPECT_EQ(rec.rxChecksum, sum % 256);
  EXPECT_EQ(GetNumBytesInBuffer(&rec), 0u);  // the next scan is not yet under way

  // A caller that does not consume the scan gets the next one behind it, and
  // the marker test looks at what the buffer begins with.
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_EQ(rec.scanBufferCount, 15);

  rec.scanBufferCount = 0;
  rec.pointsPerScan = 0;
  converter.transmit(bench.nowUs(), {0xF0, 0x0F});
  ASSERT_EQ(GetOneScan(&rec), 1);
  EXPECT_EQ(held(), Bytes{0x0F});
}

TEST_F(ScanBench, SingleChannelScansAreBareWordsAndSelfCalibratingScansCarryTwoMore) {
  rec.scanType = 0;
  converter.transmit(bench.nowUs(), {0x12, 0x34, 0x56});
  ASSERT_EQ(GetOneScan(&rec), 1);  // no marker to check
  EXPECT_EQ(held(), (Bytes{0x12, 0x34, 0x56}));
  Gconv(&rec);
  EXPECT_EQ(rec.counts, 0x563412);

  rec.scanType = 2;
  rec.pointsPerScan = 1;
  rec.bytesPerConversion = 2;
  // Offset and full-scale calibration points ahead of the one data point.
  converter.transmit(bench.nowUs(), {0xF0, 0x01, 0x02, 0x03, 0x04, 0x34, 0x12, 0x0F, 0xF0});
  ASSERT_EQ(GetOneScan(&rec), 1);
  EXPECT_EQ(held(), (Bytes{0x01, 0x02, 0x03, 0x04, 0x34, 0x12, 0x0F}));
}

TEST_F(ScanBench, AScanWithoutItsStartMarkerStaysInTheBufferAsAFramingFailure) {
  Bytes scan = framedScan(2, 3);
  scan[0] = 0xF1;
  converter.transmit(bench.nowUs(), scan);
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_EQ(held(), scan);

  // A digital-input answer in front of a scan is a framing failure here too.
  rec.scanBufferCount = 0;
  converter.transmit(bench.nowUs(), {0x80, 0x5A, 0xF0, 1, 2, 3, 4, 5, 6, 0x0F});
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
}

// A scan is allowed scanInterval + 2 s from the moment GetOneScan starts.
TEST_F(ScanBench, LastByteJustBeforeTheDeadlineCompletesTheScan) {
  const Bytes scan = framedScan(2, 3);
  const int64_t start = bench.nowUs();
  converter.transmit(start + 2'499'999 - 7 * kByteUs, scan);
  ASSERT_EQ(converter.lastByteUs(), start + 2'499'999);
  EXPECT_EQ(GetOneScan(&rec), 1);
  EXPECT_EQ(rec.scanBufferCount, 7);
}

TEST_F(ScanBench, LastByteAtTheDeadlineIsTooLateAndTheLinkIsSignedOnAgain) {
  const int64_t start = bench.nowMs();
  converter.transmit(start * 1000 + 2'500'000 - 7 * kByteUs, framedScan(2, 3));
  converter.parsePackets = false;
  EXPECT_EQ(GetOneScan(&rec), 0);
  EXPECT_EQ(rec.lastError, 2);

  // 200 ms after the deadline the sign-on's first wake-up byte goes out at 300 baud.
  const std::vector<k73::WireByte>& sent = bench.sent(1);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front().tUs, (start + 2700) * 1000);
  EXPECT_EQ(sent.front().byte, 0x00);
}

TEST_F(ScanBench, AStreamEndingInTheRateByteMeansTheScanRateIsTooFast) {
  const struct {
    Bytes stream;
    int32_t lastError;
  } cases[] = {{{0xF0, 1, 2, 0x0A}, 10}, {{0xF0, 1, 0x0A, 2}, 2}, {{}, 2}, {{0x0A}, 10}};
  converter.parsePackets = false;
  for (const auto& c : cases) {
    if (!tov::portIsOpen(&rec)) tov::openPort(&rec, kBaud, 0);  // a sign-on closed it
    rec.scanBufferCount = 0;
    converter.transmit(bench.nowUs(), c.stream);
    const int64_t start = bench.nowMs();
    EXPECT_EQ(GetOneScan(&rec), 0);
    EXPECT_EQ(rec.lastError, c.lastError) << c.stream.size() << " bytes";
    // The bytes that came stay in the buffer until a sign-on empties it.
    EXPECT_GE(bench.nowMs() - start, 2700);
  }
}

TEST(RemFromBuffer, DropsBytesFromTheFront) {
  DeviceRecord rec{};
  const uint8_t bytes[] = {10, 11, 12, 13};
  std::copy(bytes, bytes + 4, rec.scanBuffer);

  rec.scanBufferCount = 4;
  EXPECT_EQ(RemFromBuffer(&rec, 1), 3);
  EXPECT_EQ(rec.scanBufferCount, 3);
  EXPECT_EQ(rec.scanBuffer[0], 11);
  EXPECT_EQ(rec.scanBuffer[2], 13);

  EXPECT_EQ(RemFromBuffer(&rec, 0), 3);  // nothing dropped
  EXPECT_EQ(rec.scanBuffer[0], 11);
  EXPECT_EQ(RemFromBuffer(&rec, 0xFFFF), 3);  // -1: nothing dropped either
  EXPECT_EQ(rec.scanBuffer[0], 11);
  EXPECT_EQ(RemFromBuffer(&rec, 0x10001), 2);  // only the low 16 bits count
  EXPECT_EQ(rec.scanBuffer[0], 12);

  rec.scanBufferCount = 3;
  EXPECT_EQ(RemFromBuffer(&rec, 5), 3);  // more than held: empty, old count
  EXPECT_EQ(rec.scanBufferCount, 0);
  EXPECT_EQ(RemFromBuffer(&rec, 1), 0);

  rec.scanBufferCount = 400;  // a count no scan can leave: only the buffer is moved
  EXPECT_EQ(RemFromBuffer(&rec, 1), 127);
}

TEST_F(ScanBench, StopScanningDrainsTheStreamAndSelectsTheChannelAgain) {
  converter.onPacket = [&](uint8_t command, uint8_t) {
    return command == 0x8A ? Bytes{0x12, 0x0F, 0xF0, 0x8A} : Bytes{};
  };
  rec.scanBufferCount = 5;
  const int64_t start = bench.nowMs();
  EXPECT_EQ(StopScanning(&rec), 1);
  EXPECT_EQ(rec.scanBufferCount, 0);
  ASSERT_EQ(converter.packets, (std::vector<Packet>{Packet{0x8A, 0}, Packet{1, 0x25}}));
  EXPECT_EQ(bench.nowMs() - start, 1500);
  EXPECT_EQ(GetNumBytesInBuffer(&rec), 0u);
}

TEST_F(ScanBench, StopScanningWithoutTheStopByteLeavesTheBufferAndSelectsNothing) {
  for (const Bytes& tail : {Bytes{0x8A, 0x0F}, Bytes{}}) {
    converter.packets.clear();
    converter.onPacket = [&](uint8_t, uint8_t) { return tail; };
    rec.scanBufferCount = 5;
    EXPECT_EQ(StopScanning(&rec), 0);
    EXPECT_EQ(rec.scanBufferCount, 5);
    EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{0x8A, 0}}));
  }
}

}  // namespace
}  // namespace scanbench
