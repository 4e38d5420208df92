// Polled commands through the real driver: conversions read back the input,
// settings reach the converter, reply timing, checksum, sleep and faults.
#include <cmath>
#include <string>

#include "link.h"
#include "sim_bench.h"

namespace simtest {
namespace {

class PolledTest : public SimBench {
 protected:
  void SetUp() override { ASSERT_EQ(SignOn(&rec), 1); }

  std::string report() {
    std::string all;
    for (const std::string& line : converter.takeReportLines()) all += line + "\n";
    return all;
  }

  // Lets stray reply bytes land and takes them out, as a host does before
  // its next request.
  void settle() {
    bench.advanceToUs(bench.nowUs() + 100'000);
    tov::drainInput(&rec, rec.reply);
  }
};

TEST_F(PolledTest, ConversionReadsBackTheInputInEveryRangeAndWordLength) {
  struct Case {
    int bytes, bipolar;
    double mv, expected, tolerance;
  };
  const Case cases[] = {
      {3, 1, 1234.5, 1234.5, 0.001},  {3, 0, 1234.5, 1234.5, 0.001},
      {2, 1, -1500.0, -1500.0, 0.16}, {2, 0, 4000.0, 4000.0, 0.08},
      {3, 0, -20.0, 0.0, 0.001},      {3, 1, -7000.0, -5000.0, 0.001},  // clipped
      {2, 0, 6000.0, 5000.0, 0.08},
  };
  for (const Case& c : cases) {
    rec.bytesPerConversion = int16_t(c.bytes);
    rec.bipolar = int16_t(c.bipolar);
    converter.model().inputMv[0][0] = c.mv;
    ASSERT_EQ(SendADMode(&rec), 1);
    ASSERT_EQ(GetConversion(&rec), 1);
    EXPECT_NEAR(rec.millivolts, c.expected, c.tolerance)
        << c.mv << " mV, " << c.bytes << " bytes, bipolar " << c.bipolar;
  }
}

TEST_F(PolledTest, GainAmplifiesTheInputAndClipsAtFullScale) {
  rec.gain = 8;
  converter.model().inputMv[0][0] = 500.0;
  ASSERT_EQ(SendADMode(&rec), 1);
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, 4000.0, 0.001);  // the host does not divide by the gain
  converter.model().inputMv[0][0] = 700.0;
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, 5000.0, 0.002);  // full-scale counts
}

TEST_F(PolledTest, ConversionReplyWaitsForEveryAveragedConversion) {
  rec.remoteAvg = 16;
  ASSERT_EQ(RemoteAvg(&rec), 1);
  EXPECT_EQ(converter.remoteAvg(), 16u);
  const size_t sentBefore = bench.sent(1).size();
  const size_t gotBefore = bench.received(1).size();
  ASSERT_EQ(GetConversion(&rec), 1);
  const int64_t requestDone = bench.sent(1)[sentBefore + 2].tUs + 1041;
  const int64_t echoDone = bench.received(1)[gotBefore].tUs;
  // 1 ms, then 16 periods of 1953 / 19531.25 s, then the echo's byte time.
  const int64_t conversions = int64_t(16 * 1953 / 19531.25 * 1e6);
  EXPECT_EQ(echoDone - requestDone, 1000 + conversions + 1041);
  // The data bytes follow back to back.
  EXPECT_EQ(bench.received(1)[gotBefore + 3].tUs - echoDone, 3 * 1041);
}

TEST_F(PolledTest, SettingsReachTheConverterAndItsReport) {
  report();
  rec.channel = 3;
  rec.subChannel = 7;
  ASSERT_EQ(SetChanCode(&rec), 1);
  ASSERT_EQ(SetDigOut(&rec, 300), 1);
  rec.filter = 1;
  ASSERT_EQ(SetFilter(&rec), 1);
  rec.remoteAvg = 64;
  ASSERT_EQ(RemoteAvg(&rec), 1);
  rec.gain = 8;
  rec.bipolar = 0;
  ASSERT_EQ(SendADMode(&rec), 1);
  ASSERT_EQ(GetDigIn(&rec), 1);
  EXPECT_EQ(converter.channelCode(), 0x37);
  EXPECT_EQ(converter.digitalOutputs(), 44);
  EXPECT_EQ(converter.filter(), 1);
  EXPECT_EQ(converter.remoteAvg(), 64u);
  EXPECT_EQ(converter.modeHigh(), 0x0C);
  EXPECT_EQ(rec.digitalIn, 0x5A);
  EXPECT_EQ(report(),
            "channel 0x37\ndigout 44\nfilter 1\naveraging 64 (log2 6)\nmode change\n"
            "mode packet 0c 97\nmode 0c 97 a1 gain 8 unipolar 24-bit code 1953 rate 10.001 Hz\n"
            "digin query\n");
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, 5000.0, 0.002);  // channel 3.7: 4070 mV at gain 8, clipped
}

TEST_F(PolledTest, StandbyReadsAsZeroInput) {
  rec.standby = 1;
  ASSERT_EQ(SendADMode(&rec), 1);
  EXPECT_TRUE(converter.standby());
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, 0.0, 0.001);
  rec.standby = 0;
  ASSERT_EQ(SendADMode(&rec), 1);
  ASSERT_EQ(GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, 1234.5, 0.001);
}

TEST_F(PolledTest, CalibrationsAnswerEchoAndOneWordInFourPeriods) {
  rec.gain = 8;
  ASSERT_EQ(SendADMode(&rec), 1);
  ASSERT_EQ(SysCal(&rec), 1);
  EXPECT_EQ(rec.gain, 8);
  EXPECT_EQ(converter.modeHigh(), 0x0C);
  rec.bytesPerConversion = 2;
  ASSERT_EQ(SendADMode(&rec), 1);
  const size_t gotBefore = bench.received(1).size();
  ASSERT_EQ(OffsetCal(&rec), 1);
  ASSERT_EQ(FullScaleCal(&rec), 1);
  EXPECT_EQ(bench.received(1).size() - gotBefore, 6u);  // two replies of echo + 16-bit word
  EXPECT_EQ(rec.reply[0], 0x83);
}

TEST_F(PolledTest, ChecksumCoversEverySentByteAndRestartsAfterEachRequest) {
  EXPECT_EQ(GetCheckSum(&rec), 1);  // the sign-on replies and the 0x87
  EXPECT_EQ(GetCheckSum(&rec), 1);  // only the 0x87: the converter reports 0x87
  EXPECT_EQ(rec.reply[1], 0x87);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(GetConversion(&rec), 1);
  ASSERT_EQ(GetDigIn(&rec), 1);
  EXPECT_EQ(GetCheckSum(&rec), 1);
}

TEST_F(PolledTest, ChecksumShowsBytesTheLineLostOrDoubled) {
  converter.model().misbehave.dropByteEvery = 7;
  for (int i = 0; i < 3; ++i) GetConversion(&rec);
  converter.model().misbehave.dropByteEvery = 0;
  EXPECT_EQ(GetCheckSum(&rec), 0);
  converter.model().misbehave.doubleByteEvery = 5;
  for (int i = 0; i < 3; ++i) GetConversion(&rec);
  converter.model().misbehave.doubleByteEvery = 0;
  settle();
  EXPECT_EQ(GetCheckSum(&rec), 0);
  EXPECT_EQ(GetCheckSum(&rec), 1);  // a clean exchange agrees again
}

TEST_F(PolledTest, SleepConfirmsWithAFinal0x80AndThenIgnoresCommands) {
  ASSERT_EQ(GotoSleep(&rec), 1);
  EXPECT_TRUE(converter.asleep());
  EXPECT_EQ(GetConversion(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  rec.gain = 4;
  EXPECT_EQ(SendADMode(&rec), 0);
  EXPECT_EQ(converter.modeHigh(), 0x00);
}

TEST_F(PolledTest, WrongEchoAndShortRepliesFailTheConversion) {
  converter.model().misbehave.wrongEcho = 0x8A;
  EXPECT_EQ(GetConversion(&rec), 0);
  EXPECT_EQ(rec.lastError, 0x8A);
  settle();
  converter.model().misbehave.wrongEcho = -1;
  converter.model().misbehave.shortReply = 2;
  EXPECT_EQ(GetConversion(&rec), 0);
  EXPECT_EQ(rec.lastError, 1);
  settle();
  converter.model().misbehave.shortReply = -1;
  EXPECT_EQ(GetConversion(&rec), 1);
}

TEST_F(PolledTest, GarbledPacketIsIgnoredAndTheNextOneAnswered) {
  const size_t gotBefore = bench.received(1).size();
  ASSERT_TRUE(tov::writeByte(&rec, 0x81));
  ASSERT_TRUE(tov::writeByte(&rec, 0x00));
  ASSERT_TRUE(tov::writeByte(&rec, 0x80));  // should be 0x81
  bench.advanceToUs(bench.nowUs() + 3'000'000);
  EXPECT_EQ(bench.received(1).size(), gotBefore);
  EXPECT_FALSE(converter.packets().back().checksumOk);
  EXPECT_NE(report().find("bad packet 81 00 80"), std::string::npos);
  EXPECT_EQ(GetConversion(&rec), 1);
}

TEST_F(PolledTest, NoiseIsUniformWithinItsSpanAndRepeatsWithTheSeed) {
  auto readings = [&](uint32_t seed) {
    k73::Model m = quietModel();
    m.noiseMv = 2.0;
    m.seed = seed;
    converter.model() = m;
    std::vector<double> out;
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(GetConversion(&rec), 1);
      out.push_back(rec.millivolts);
    }
    return out;
  };
  const std::vector<double> a = readings(7);
  double lo = 1e9, hi = -1e9;
  for (double v : a) lo = std::min(lo, v), hi = std::max(hi, v);
  EXPECT_GE(lo, 1234.5 - 1.001);
  EXPECT_LE(hi, 1234.5 + 1.001);
  EXPECT_GT(hi - lo, 1.0);  // it does vary
  EXPECT_NE(readings(8), a);
  EXPECT_EQ(readings(7), a);
}

}  // namespace
}  // namespace simtest
