// Polled conversions, remote averaging and the conversion of counts to millivolts.
#include <cstring>

#include "bench_fixture.h"

namespace polled {
namespace {

struct Scale {
  int16_t bytes;
  int16_t bipolar;
  int32_t counts;
  double millivolts;
};

TEST(Counts2Volts, ScalesWordsOfBothLengthsAndRanges) {
  const Scale cases[] = {
      {3, 0, 1193046, 355.555}, {2, 0, 4660, 355.530}, {3, 0, 16777215, 4999.9993},
      {3, 1, 8388608, -0.0004}, {3, 1, 0, -5000.0},    {2, 1, 65535, 4999.8466},
      {2, 1, 32768, -0.0004},   {2, 0, 0, 0.0},
  };
  for (const Scale& c : cases) {
    DeviceRecord rec{};
    rec.bytesPerConversion = c.bytes;
    rec.bipolar = c.bipolar;
    rec.counts = c.counts;
    EXPECT_NEAR(Counts2Volts(&rec), c.millivolts, 0.0005) << c.bytes << " bytes, " << c.counts;
    EXPECT_EQ(rec.counts, c.counts);
  }
}

TEST_F(PolledBench, ConversionDecodesLeastSignificantByteFirst) {
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 0x56, 0x34, 0x12}; };
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_EQ(rec.counts, 1193046);
  EXPECT_NEAR(rec.millivolts, 355.555, 0.0005);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x81, 0}}));

  rec.bytesPerConversion = 2;
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 0x34, 0x12}; };
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_EQ(rec.counts, 4660);
  EXPECT_NEAR(rec.millivolts, 355.530, 0.0005);
}

TEST_F(PolledBench, StaleInputIsDrainedBeforeTheRequest) {
  converter.sendAt(1000, {0x81});  // a leftover that must not pass for the echo
  converter.sendAt(2000, {0x55});
  bench.advanceToUs(5000);
  rec.rxChecksum = 0;
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 1, 0, 0}; };
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_EQ(rec.counts, 1);
  EXPECT_EQ(rec.rxChecksum, (0x81 + 0x55 + 0x81 + 1) % 256);  // drained bytes count too
}

TEST_F(PolledBench, WrongEchoLeavesThatByteAsTheError) {
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x8A, 0x56, 0x34, 0x12}; };
  rec.counts = 7;
  EXPECT_EQ(GetConversion(&rec), 0);
  EXPECT_EQ(rec.lastError, 138);
  EXPECT_EQ(rec.counts, 7);
}

TEST_F(PolledBench, MissingEchoOrDataGivesErrorOneAfterTheReplyTimeout) {
  rec.lastError = 0;
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(GetConversion(&rec), 0); }), 2000);
  EXPECT_EQ(rec.lastError, 1);

  // The echo and two of three data bytes: the data get their own time-out.
  rec.lastError = 0;
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 0x56, 0x34}; };
  const int64_t ms = elapsedMs([&] { EXPECT_EQ(GetConversion(&rec), 0); });
  EXPECT_GE(ms, 2000);
  EXPECT_LE(ms, 2002);
  EXPECT_EQ(rec.lastError, 1);
}

TEST_F(PolledBench, DataMustBeCompleteBeforeTheDeadline) {
  for (int64_t early : {1, 0}) {
    // The data's 2000 ms start when the echo has been read.
    converter.onPacket = [&](uint8_t, uint8_t) {
      const int64_t echoAt = converter.packets.back().tUs + 500;
      const int64_t deadlineUs = (echoAt / 1000 + 2000) * 1000;
      converter.sendAt(echoAt, {0x81});
      converter.sendAt(deadlineUs - 3 * kByteUs, {1});
      converter.sendAt(deadlineUs - 2 * kByteUs, {2});
      converter.sendAt(deadlineUs - early, {3});
      return Bytes{};
    };
    rec.lastError = 0;
    EXPECT_EQ(GetConversion(&rec), early ? 1 : 0) << early;
    EXPECT_EQ(rec.lastError, early ? 0 : 1);
  }
}

TEST_F(PolledBench, ChannelAndAveragingPackets) {
  rec.channel = 3;
  rec.subChannel = 5;
  EXPECT_EQ(SetChanCode(&rec), 1);

  rec.remoteAvg = 1;
  EXPECT_EQ(RemoteAvg(&rec), 1);
  EXPECT_EQ(rec.replyTimeout, 2000);
  rec.remoteAvg = 64;
  EXPECT_EQ(RemoteAvg(&rec), 1);
  EXPECT_EQ(rec.replyTimeout, 8000);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{1, 0x35}, {4, 0}, {4, 6}}));
}

void fillScanBuffer(DeviceRecord* rec, std::initializer_list<uint8_t> bytes, int32_t count) {
  std::memset(rec->scanBuffer, 0xEE, sizeof rec->scanBuffer);  // stale bytes past the count
  std::copy(bytes.begin(), bytes.end(), rec->scanBuffer);
  rec->scanBufferCount = count;
}

TEST(Gconv, TakesOneWordOffTheFrontOfTheScanBuffer) {
  DeviceRecord rec{};
  rec.bytesPerConversion = 3;
  fillScanBuffer(&rec, {0x56, 0x34, 0x12, 0x00, 0x00, 0x80, 0x0F}, 7);
  Gconv(&rec);
  EXPECT_EQ(rec.counts, 1193046);
  EXPECT_NEAR(rec.millivolts, 355.555, 0.0005);
  ASSERT_EQ(rec.scanBufferCount, 4);
  rec.bipolar = 1;
  Gconv(&rec);
  EXPECT_EQ(rec.counts, 8388608);
  EXPECT_EQ(rec.scanBufferCount, 1);
  EXPECT_EQ(rec.scanBuffer[0], 0x0F);
}

TEST(Gconv, DecodesOnlyTheBytesTheBufferHolds) {
  DeviceRecord rec{};
  rec.bytesPerConversion = 3;
  fillScanBuffer(&rec, {0x34, 0x12}, 2);  // a word cut short: the high byte is not there
  Gconv(&rec);
  EXPECT_EQ(rec.counts, 0x1234);
  EXPECT_EQ(rec.scanBufferCount, 0);

  Gconv(&rec);  // empty buffer
  EXPECT_EQ(rec.counts, 0);
  EXPECT_EQ(rec.millivolts, 0.0);
  EXPECT_EQ(rec.scanBufferCount, 0);

  // A count beyond the buffer moves no more than the buffer holds.
  fillScanBuffer(&rec, {1, 2, 3, 4}, 100000);
  Gconv(&rec);
  EXPECT_EQ(rec.counts, 0x030201);
  EXPECT_EQ(rec.scanBufferCount, TOV_SCAN_BUFFER_SIZE - 3);
  EXPECT_EQ(rec.scanBuffer[0], 4);
}

}  // namespace
}  // namespace polled
