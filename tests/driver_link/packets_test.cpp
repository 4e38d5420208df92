// The A/D mode word, the command packet, and the timer counter commands.
#include "link_fixture.h"

namespace linktest {
namespace {

struct RateCase {
  float requested;
  int code;
  float stored;
};

TEST(ModeWord, FilterCodeAndTheRateActuallyProgrammed) {
  const RateCase cases[] = {
      {1027.0f, 19, 1027.0f},  // 19531.25 / 19 is above the fastest rate: held at 1027
      {10.0f, 1953, static_cast<float>(19531.25 / 1953)},
      {100.0f, 195, static_cast<float>(19531.25 / 195)},
  };
  for (const RateCase& c : cases) {
    DeviceRecord rec = defaultRecord();
    rec.sampleRate = c.requested;
    tov::buildModeWord(&rec);
    EXPECT_EQ(rec.modeLow, c.code & 0xFF) << c.requested;
    EXPECT_EQ(rec.modeMid & 7, c.code >> 8) << c.requested;
    EXPECT_FLOAT_EQ(rec.sampleRate, c.stored) << c.requested;
  }
  DeviceRecord rec = defaultRecord();
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeLow, 0xA1);
  EXPECT_NEAR(rec.sampleRate, 10.00064, 1e-5);
  rec.sampleRate = 100;
  tov::buildModeWord(&rec);
  EXPECT_NEAR(rec.sampleRate, 100.16, 1e-2);
}

TEST(ModeWord, RatesTheDividerCannotReachNeverDivideByZero) {
  for (float rate : {0.0f, -5.0f, 30000.0f, 19531.25f / 2048}) {
    DeviceRecord rec = defaultRecord();
    rec.sampleRate = rate;
    tov::buildModeWord(&rec);
    const int code = rec.modeLow | (rec.modeMid & 7) << 8;
    EXPECT_NE(code, 0) << rate;
    EXPECT_GT(rec.sampleRate, 0.0f) << rate;
    EXPECT_LE(rec.sampleRate, 1027.0f) << rate;
    EXPECT_GE(rec.replyTimeout, 2000) << rate;
  }
}

TEST(ModeWord, GainStandbyWordLengthAndPolarityBits) {
  DeviceRecord rec = defaultRecord();
  rec.gain = 1;
  rec.standby = 1;
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeHigh, 1);
  rec.gain = 128;
  rec.standby = 0;
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeHigh, 0x1C);
  rec.gain = 3;  // between powers of two: the next one up (4, code 2)
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeHigh, 8);

  rec.bytesPerConversion = 3;
  rec.bipolar = 1;
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeMid, 0x80 | 7);
  rec.bytesPerConversion = 2;
  rec.bipolar = 0;
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.modeMid, 0x10 | 7);
}

TEST(ModeWord, ReplyTimeOutIsWholeSecondsFromTheStoredRate) {
  DeviceRecord rec = defaultRecord();
  for (int16_t baud = 0; baud <= 5; ++baud) {
    rec.baudIndex = baud;
    rec.sampleRate = 10;
    tov::buildModeWord(&rec);
    EXPECT_EQ(rec.replyTimeout, 2000) << "baud index " << baud;
  }
  rec.baudIndex = 0;
  rec.remoteAvg = 16;
  rec.sampleRate = 10;
  tov::buildModeWord(&rec);
  EXPECT_EQ(rec.replyTimeout, 3000);
  EXPECT_EQ(tov::replyTimeoutFor(&rec), 3000);
}

TEST(ScanLayout, BytesPerScanFollowsTheScanType) {
  DeviceRecord rec = defaultRecord();
  rec.pointsPerScan = 5;
  rec.bytesPerConversion = 3;
  rec.scanType = 0;
  EXPECT_EQ(tov::bytesPerScan(&rec), 3);
  rec.scanType = 1;
  EXPECT_EQ(tov::bytesPerScan(&rec), 17);
  rec.scanType = 2;
  EXPECT_EQ(tov::bytesPerScan(&rec), 23);
  rec.scanType = 7;  // anything else is framed as a normal scan
  rec.bytesPerConversion = 2;
  EXPECT_EQ(tov::bytesPerScan(&rec), 12);
}

// What a client is told fits the scan buffer is exactly the longest list the
// driver takes: one more point would not fit.
TEST(ScanLayout, PointsThatFitAreTheLongestListTheScanBufferTakes) {
  for (int scanType : {0, 1, 2}) {
    for (int bits : {16, 24}) {
      const int32_t n = tovScanPointsThatFit(scanType, bits);
      EXPECT_LE(tovScanBytesFor(scanType, n, bits / 8), TOV_SCAN_BUFFER_SIZE);
      if (scanType != 0) {
        EXPECT_GT(tovScanBytesFor(scanType, n + 1, bits / 8), TOV_SCAN_BUFFER_SIZE);
      }
    }
  }
  EXPECT_EQ(tovScanPointsThatFit(1, 24), 42);
  EXPECT_EQ(tovScanPointsThatFit(2, 16), 61);
}

class OpenPort : public LinkBench {
 protected:
  void SetUp() override { ASSERT_TRUE(tov::openPort(&rec, 9600, 0)); }
};

TEST_F(OpenPort, RawPacketSendsLowBytesAndTheirSum) {
  EXPECT_EQ(DLL_SendPacket(&rec, 0x103, 0x2FF), 1);
  EXPECT_EQ(peer.gotBytes(), (Bytes{0x03, 0xFF, 0x02}));
}

TEST_F(OpenPort, CounterCountsGoLowByteFirst) {
  rec.channel = 2;
  rec.subChannel = 1;
  EXPECT_EQ(WriteCntr(&rec, 1, 300), 1);
  EXPECT_EQ(WriteCntr(&rec, 0, -1), 1);
  const std::vector<Packet> expected = {{1, 0x21 | 0x84 | 1}, {7, 44},   {7, 1},
                                        {1, 0x21 | 0x84},     {7, 0xFF}, {7, 0x00}};
  EXPECT_EQ(packetsIn(peer.gotBytes()), expected);
}

TEST_F(OpenPort, ModeEchoComparesOnlyTheLowFiveBitsOfTheHighByte) {
  rec.modeHigh = 0x1C;
  rec.modeMid = 0x97;
  rec.modeLow = 0xA1;
  peer.sendAt(0, {0xE0 | 0x1C, 0x97, 0xA1});
  EXPECT_TRUE(tov::checkModeEcho(&rec, 1000));
  peer.sendAt(bench.nowUs(), {0x1D, 0x97, 0xA1});
  EXPECT_FALSE(tov::checkModeEcho(&rec, 1000));
  peer.sendAt(bench.nowUs(), {0x1C, 0x96, 0xA1});
  EXPECT_FALSE(tov::checkModeEcho(&rec, 1000));
  peer.sendAt(bench.nowUs(), {0x1C, 0x97});  // one short: fails at the time-out
  EXPECT_EQ(elapsedMs([&] { EXPECT_FALSE(tov::checkModeEcho(&rec, 1000)); }), 1000);
}

TEST_F(OpenPort, VersionNeedsItsEchoAndBothBytes) {
  rec.firmwareVersion = 7;
  peer.onByte = [](k73test::ScriptedPeer& p, uint8_t, int64_t, uint32_t) {
    if (p.got().size() % 3 == 0) p.reply({0x86, 101}, 500, 1042);
  };
  EXPECT_EQ(GetVer(&rec), 1);
  EXPECT_EQ(rec.firmwareVersion, 101);
  EXPECT_EQ(packetsIn(peer.gotBytes()), (std::vector<Packet>{{0x86, 0}}));

  rec.firmwareVersion = 7;
  peer.onByte = [](k73test::ScriptedPeer& p, uint8_t, int64_t, uint32_t) {
    if (p.got().size() % 3 == 0) p.reply({0x85, 101});
  };
  EXPECT_EQ(GetVer(&rec), 0);
  EXPECT_EQ(rec.firmwareVersion, 7);

  peer.onByte = [](k73test::ScriptedPeer& p, uint8_t, int64_t, uint32_t) {
    if (p.got().size() % 3 == 0) p.reply({0x86});
  };
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(GetVer(&rec), 0); }), rec.replyTimeout);
  EXPECT_EQ(rec.firmwareVersion, 7);
}

}  // namespace
}  // namespace linktest
