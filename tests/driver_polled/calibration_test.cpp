// Offset, full-scale and system calibration.
#include <cstring>

#include "bench_fixture.h"

namespace polled {
namespace {

TEST_F(PolledBench, SingleCalibrationsUseTheCurrentChannelAndReadEchoAndWord) {
  int word = 3;
  converter.onPacket = acceptingConverter(&word);
  rec.channel = 2;
  rec.subChannel = 9;
  EXPECT_EQ(OffsetCal(&rec), 1);
  EXPECT_EQ(FullScaleCal(&rec), 1);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x82, 0x29}, {0x83, 0x29}}));

  rec.bytesPerConversion = 2;  // a 16-bit reply is one byte shorter
  word = 2;
  EXPECT_EQ(OffsetCal(&rec), 1);
  rec.bytesPerConversion = 3;  // ...and falls short of a 24-bit one
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(FullScaleCal(&rec), 0); }), 4000);

  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 0, 0, 0}; };
  EXPECT_EQ(OffsetCal(&rec), 0);
}

TEST_F(PolledBench, CalibrationsWaitTwiceTheReplyTimeout) {
  rec.replyTimeout = 3000;
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(OffsetCal(&rec), 0); }), 6000);
  rec.replyTimeout = INT32_MAX;  // doubling must not wrap to a negative wait
  converter.onPacket = [](uint8_t command, uint8_t) { return Bytes{command, 1, 2, 3}; };
  EXPECT_EQ(FullScaleCal(&rec), 1);
}

TEST_F(PolledBench, SystemCalibrationAtGainOneSendsOnlyTheTwoCalibrations) {
  int word = 3;
  converter.onPacket = acceptingConverter(&word);
  ASSERT_EQ(SysCal(&rec), 1);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x82, 0x70}, {0x83, 0x60}}));
}

TEST_F(PolledBench, SystemCalibrationAtGainEightCalibratesZeroAgainAtThatGain) {
  int word = 2;
  converter.onPacket = acceptingConverter(&word);
  rec.bytesPerConversion = 2;
  rec.gain = 8;
  rec.sampleRate = 10;
  ASSERT_EQ(SysCal(&rec), 1);
  EXPECT_EQ(rec.gain, 8);
  const std::vector<Packet> expected = {
      {0x84, 0},    {0x00, 0x17}, {0xA1, 0},  // gain 1
      {0x82, 0x70}, {0x83, 0x60},             // zero and full scale
      {0x84, 0},    {0x0C, 0x17}, {0xA1, 0},  // back to gain 8
      {0x82, 0x70},                           // zero at gain 8
  };
  EXPECT_EQ(converter.packets, expected);
}

TEST_F(PolledBench, SystemCalibrationStepsAllowTwoSecondsAndStopAtAFailure) {
  rec.replyTimeout = 8000;  // not used: each step allows 2000 ms
  int word = 2;             // replies one byte short of a 24-bit word
  converter.onPacket = acceptingConverter(&word);
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(SysCal(&rec), 0); }), 2000);
  EXPECT_EQ(converter.packets.size(), 1u);

  // A converter that refuses the mode change stops it before any calibration,
  // leaving gain 1 in the record.
  converter.packets.clear();
  converter.onPacket = nullptr;
  rec.gain = 4;
  EXPECT_EQ(SysCal(&rec), 0);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x84, 0}}));
  EXPECT_EQ(rec.gain, 1);
}

// A record whose port is not open: every export gives up once its first byte
// cannot be written, and touches nothing else.
TEST(ClosedPort, EveryExportFailsAfterTheWriteRetry) {
  k73::VirtualBench bench;
  DeviceRecord rec{};
  rec.bytesPerConversion = 3;
  rec.gain = 8;
  rec.sampleRate = 10;
  rec.remoteAvg = 1;
  rec.replyTimeout = 2000;
  rec.outQueueSize = 1;
  rec.lastError = 42;
  rec.rxChecksum = 77;  // a checksum request that was never written keeps our sum
  DeviceRecord expected;
  std::memcpy(&expected, &rec, sizeof rec);
  expected.gain = 1;  // SysCal lowers it before its mode change fails
  const std::pair<const char*, std::function<int()>> exports[] = {
      {"GetConversion", [&] { return GetConversion(&rec); }},
      {"SetChanCode", [&] { return SetChanCode(&rec); }},
      {"RemoteAvg", [&] { return RemoteAvg(&rec); }},
      {"SetFilter", [&] { return SetFilter(&rec); }},
      {"SendADMode", [&] { return SendADMode(&rec); }},
      {"GetCheckSum", [&] { return GetCheckSum(&rec); }},
      {"SetDigOut", [&] { return SetDigOut(&rec, 1); }},
      {"GetDigIn", [&] { return GetDigIn(&rec); }},
      {"FullScaleCal", [&] { return FullScaleCal(&rec); }},
      {"OffsetCal", [&] { return OffsetCal(&rec); }},
      {"SysCal", [&] { return SysCal(&rec); }},
      {"GotoSleep", [&] { return GotoSleep(&rec); }},
  };
  for (const auto& [name, call] : exports) {
    const int64_t start = bench.nowMs();
    EXPECT_EQ(call(), 0) << name;
    const int64_t ms = bench.nowMs() - start;
    EXPECT_GE(ms, 3000) << name;
    EXPECT_LE(ms, 3500) << name;  // GotoSleep adds its half second
  }
  EXPECT_EQ(rec.lastError, 42);
  EXPECT_EQ(rec.rxChecksum, 77);
  EXPECT_EQ(rec.gain, 1);  // SysCal's mode change was never sent
  EXPECT_EQ(std::memcmp(&rec, &expected, sizeof rec), 0);
}

}  // namespace
}  // namespace polled
