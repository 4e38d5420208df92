// The converter's side of the sign-on, through the real driver.
#include <functional>
#include <string>

#include "link.h"
#include "sim_bench.h"

namespace simtest {
namespace {

using SignOnTest = SimBench;

TEST_F(SignOnTest, DriverSignsOnAndConverterHoldsTheConfiguration) {
  rec.gain = 8;
  rec.bipolar = 0;
  rec.remoteAvg = 16;
  rec.scanTable[0] = 0x03;
  rec.scanTable[5] = 0x10;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(converter.signOns(), 1);
  EXPECT_EQ(converter.lineBaud(), 9600u);
  EXPECT_EQ(converter.modeHigh(), 0x0C);
  EXPECT_EQ(converter.modeMid(), 0x97);
  EXPECT_EQ(converter.modeLow(), 0xA1);
  EXPECT_EQ(converter.remoteAvg(), 16u);
  EXPECT_EQ(converter.filter(), 2);
  EXPECT_EQ(converter.intervalCount(), 7811u);
  EXPECT_EQ(converter.scanTableEntry(0), 0x03);
  EXPECT_EQ(converter.scanTableEntry(5), 0x10);
  EXPECT_EQ(rec.firmwareVersion, 100);
}

// Index 0 is sent as a 0x00 at 300 baud, and at index 5 the whole
// configuration (with a zero mode byte at gain 1) runs at 300 baud: neither
// may be taken for a new wake-up.
TEST_F(SignOnTest, EveryBaudIndexSwitchesTheLineToItsRate) {
  const uint32_t rates[6] = {9600, 4800, 2400, 1200, 600, 300};
  for (int index = 0; index < 6; ++index) {
    rec.baudIndex = int16_t(index);
    ASSERT_EQ(SignOn(&rec), 1) << "baud index " << index;
    EXPECT_EQ(converter.lineBaud(), rates[index]);
    EXPECT_EQ(bench.baudOf(1), rates[index]);
    ASSERT_EQ(GetConversion(&rec), 1) << "baud index " << index;
    EXPECT_NEAR(rec.millivolts, 1234.5, 0.001);
  }
  EXPECT_EQ(converter.signOns(), 6);
}

TEST_F(SignOnTest, HandshakeAnswerComesOneMillisecondAndOneByteTimeAfterTheWakeUp) {
  ASSERT_EQ(SignOn(&rec), 1);
  const auto& sent = bench.sent(1);
  const auto& got = bench.received(1);
  ASSERT_FALSE(sent.empty());
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(sent[0].byte, 0x00);
  EXPECT_EQ(got[0].byte, 0x03);
  // The wake-up is complete one byte time after it left; then 1 ms; then the
  // 0x03 takes one byte time at 300 baud.
  EXPECT_EQ(got[0].tUs - sent[0].tUs, 33333 + 1000 + 33333);
}

TEST_F(SignOnTest, ReportNamesEachStepOfTheSignOn) {
  rec.gain = 8;
  ASSERT_EQ(SignOn(&rec), 1);
  std::string all;
  for (const std::string& line : converter.takeReportLines()) all += line + "\n";
  EXPECT_NE(all.find("wake-up 00\nsign-on 88\nbaud index 0: 9600 baud\n"), std::string::npos)
      << all;
  EXPECT_NE(all.find("mode 0c 87 a1 gain 8 bipolar 24-bit"), std::string::npos) << all;
  EXPECT_NE(all.find("config averaging 1 filter 2\n"), std::string::npos) << all;
  EXPECT_NE(all.find("interval count 7811 table 00 00 00 00 00 00\nsigned on\nversion\n"),
            std::string::npos)
      << all;
}

TEST_F(SignOnTest, NewerFirmwareTimesScansFromTheCounterPreset) {
  converter.model().firmwareVersion = 120;
  ASSERT_EQ(SignOn(&rec), 1);
  // Counters 0 and 1 get the program's "no preset" count, counter 2 a one.
  EXPECT_EQ(converter.counterCount(0), 0xFFu);
  EXPECT_EQ(converter.counterCount(1), 0xFFu);
  EXPECT_EQ(converter.counterCount(2), 1u);
  EXPECT_DOUBLE_EQ(converter.tickRateHz(), 3906.25);
  EXPECT_NEAR(converter.scanIntervalS(), 7812.0 / 3906.25, 1e-9);

  rec.counterPreset = 0;
  rec.baudIndex = 1;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(converter.counterCount(0), 0u);
  EXPECT_DOUBLE_EQ(converter.tickRateHz(), 4882.8125 / 2);
  // The driver counted its interval on the same base, so both agree.
  EXPECT_NEAR(converter.scanIntervalS(), rec.scanInterval, 0.001);
}

TEST_F(SignOnTest, SignOnWakesASleepingConverter) {
  ASSERT_EQ(SignOn(&rec), 1);
  ASSERT_EQ(GotoSleep(&rec), 1);
  EXPECT_TRUE(converter.asleep());
  EXPECT_EQ(GetVer(&rec), 0);  // asleep: not a word
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_FALSE(converter.asleep());
  EXPECT_EQ(GetConversion(&rec), 1);
}

TEST_F(SignOnTest, ClosingAndSigningOnAgainStopsAScanAndStartsOver) {
  ASSERT_EQ(SignOn(&rec), 1);
  ASSERT_EQ(StartScanning(&rec), 1);
  EXPECT_TRUE(converter.scanning());
  CloseDevice(&rec);
  EXPECT_FALSE(converter.scanning());
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(converter.signOns(), 2);
  EXPECT_EQ(GetConversion(&rec), 1);
}

struct SignOnFault {
  const char* name;
  std::function<void(k73::Misbehaviour&)> set;
  int expected;
};

TEST_F(SignOnTest, MisbehavioursMakeTheSignOnFailOrPassAsTheDriverExpects) {
  const SignOnFault faults[] = {
      {"silent", [](k73::Misbehaviour& m) { m.silent = true; }, 0},
      {"no handshake", [](k73::Misbehaviour& m) { m.noHandshake = true; }, 0},
      {"noise in quiet period", [](k73::Misbehaviour& m) { m.noiseInQuietPeriod = true; }, 0},
      {"answers 0x88", [](k73::Misbehaviour& m) { m.answerSleepByte = true; }, 0},
      {"wrong baud echo", [](k73::Misbehaviour& m) { m.wrongBaudEcho = true; }, 0},
      {"no baud echo", [](k73::Misbehaviour& m) { m.noBaudEcho = true; }, 0},
      {"wrong mode echo", [](k73::Misbehaviour& m) { m.wrongModeEcho = true; }, 0},
      {"short mode echo", [](k73::Misbehaviour& m) { m.shortReply = 2; }, 0},
      {"high bits in mode echo", [](k73::Misbehaviour& m) { m.modeEchoHighExtraBits = 0xE0; }, 1},
      {"wrong version echo", [](k73::Misbehaviour& m) { m.wrongEcho = 0x55; }, 0},
  };
  for (const SignOnFault& f : faults) {
    k73::Converter faulty(quietModel());
    f.set(faulty.model().misbehave);
    bench.attach(1, &faulty);
    DeviceRecord r = defaultRecord();
    EXPECT_EQ(SignOn(&r), f.expected) << f.name;
    EXPECT_EQ(faulty.signOns() > 0, f.expected == 1 || std::string(f.name) == "wrong version echo")
        << f.name;
    CloseDevice(&r);
    bench.detach(1);
  }
}

// A byte that arrives at another rate than the converter listens at is noise.
TEST_F(SignOnTest, BytesAtTheWrongRateAreIgnored) {
  ASSERT_EQ(SignOn(&rec), 1);
  const size_t packetsBefore = converter.packets().size();
  converter.hostByte(0x86, bench.nowUs() + 10, 4800);
  converter.hostByte(0x00, bench.nowUs() + 20, 4800);
  converter.hostByte(0x86, bench.nowUs() + 30, 4800);
  EXPECT_EQ(converter.nextByteTime(), k73::kNever);
  EXPECT_EQ(converter.packets().size(), packetsBefore);
  ASSERT_EQ(GetVer(&rec), 1);
}

}  // namespace
}  // namespace simtest
