// Filter, mode word, digital outputs and inputs, the link checksum and sleep.
#include "bench_fixture.h"

namespace polled {
namespace {

TEST_F(PolledBench, FilterAndDigitalOutputPacketsCarryTheLowByte) {
  rec.filter = 2;
  EXPECT_EQ(SetFilter(&rec), 1);
  EXPECT_EQ(SetDigOut(&rec, 300), 1);
  EXPECT_EQ(SetDigOut(&rec, -1), 1);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{3, 2}, {2, 44}, {2, 0xFF}}));
}

TEST_F(PolledBench, ModeWordIsRebuiltSentAndEchoed) {
  int word = 3;
  converter.onPacket = acceptingConverter(&word);
  rec.sampleRate = 15000;  // faster than the divider can go
  rec.gain = 8;
  rec.bipolar = 1;
  ASSERT_EQ(SendADMode(&rec), 1);
  EXPECT_EQ(rec.modeLow, 1);
  EXPECT_FLOAT_EQ(rec.sampleRate, 1027.0f);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x84, 0}, {0x0C, 0x80}, {0x01, 0}}));
}

TEST_F(PolledBench, ModeWordFailures) {
  // No acknowledgement: nothing more is sent and the record keeps its word.
  rec.sampleRate = 100;
  rec.modeLow = 0x55;
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(SendADMode(&rec), 0); }), 2000);
  EXPECT_EQ(converter.packets.size(), 1u);
  EXPECT_EQ(rec.modeLow, 0x55);

  // A wrong echo fails, with the new word already in the record.
  converter.onPacket = [](uint8_t command, uint8_t) {
    return command == 0x84 ? Bytes{0x84} : command == 195 ? Bytes{0x00, 0x00, 0x00} : Bytes{};
  };
  EXPECT_EQ(SendADMode(&rec), 0);
  EXPECT_EQ(rec.modeLow, 195);
  EXPECT_NEAR(rec.sampleRate, 100.16, 0.01);
}

TEST_F(PolledBench, ChecksumComparesOurSumWithTwiceTheReportedByte) {
  // The converter reports the sum of what it sent since our sum was reset.
  int sentSinceReset = 0;
  converter.onPacket = [&](uint8_t command, uint8_t) -> Bytes {
    if (command == 0x81) {
      sentSinceReset += 0x81 + 0x10 + 0x20 + 0x30;
      return {0x81, 0x10, 0x20, 0x30};
    }
    if (command != 0x87) return {};
    const uint8_t sum = static_cast<uint8_t>(sentSinceReset + 0x87);
    sentSinceReset = 0;
    return {0x87, sum};
  };
  rec.rxChecksum = 0;
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_EQ(GetCheckSum(&rec), 1);
  EXPECT_EQ(rec.rxChecksum, 0);
  EXPECT_EQ(GetCheckSum(&rec), 1);  // starts from zero: the converter reports just 0x87

  // A byte lost on the way: the sums differ, and ours starts again from zero.
  ASSERT_EQ(GetConversion(&rec), 1);
  rec.rxChecksum = static_cast<int16_t>((rec.rxChecksum + 0xFF) % 256);
  EXPECT_EQ(GetCheckSum(&rec), 0);
  EXPECT_EQ(rec.rxChecksum, 0);

  // No answer: failure, sum reset.
  converter.onPacket = nullptr;
  rec.rxChecksum = 99;
  EXPECT_EQ(GetCheckSum(&rec), 0);
  EXPECT_EQ(rec.rxChecksum, 0);
}

TEST_F(PolledBench, SleepIsConfirmedByALastByteOf0x80) {
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(GotoSleep(&rec), 0); }), 500);  // silent converter

  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x41, 0x80}; };
  EXPECT_EQ(GotoSleep(&rec), 1);
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x80, 0x41}; };
  EXPECT_EQ(GotoSleep(&rec), 0);
  EXPECT_EQ(converter.packets.back(), (Packet{0x88, 0}));
}

TEST_F(PolledBench, DigitalInputsNeedTheirEcho) {
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x80, 0xA5}; };
  ASSERT_EQ(GetDigIn(&rec), 1);
  EXPECT_EQ(rec.digitalIn, 0xA5);
  EXPECT_EQ(converter.packets, (std::vector<Packet>{{0x80, 0x4C}}));

  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x81, 0x5A}; };
  EXPECT_EQ(GetDigIn(&rec), 0);
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{0x80}; };
  EXPECT_EQ(GetDigIn(&rec), 0);
  EXPECT_EQ(rec.digitalIn, 0xA5);
}

}  // namespace
}  // namespace polled
