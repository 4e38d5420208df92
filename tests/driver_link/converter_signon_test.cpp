// Whole sign-ons against the simulated converter, including the ways it can
// misbehave.
#include "converter.h"
#include "link_fixture.h"

namespace linktest {
namespace {

class ConverterBench : public ::testing::Test {
 protected:
  ConverterBench() { bench.attach(1, &converter); }
  ~ConverterBench() override { DllEntryPoint(nullptr, 0, nullptr); }

  k73::VirtualBench bench;
  k73::Converter converter;
  DeviceRecord rec = defaultRecord();
};

TEST_F(ConverterBench, TheConverterReceivesTheWholeConfiguration) {
  rec.gain = 8;
  rec.bipolar = 1;
  rec.filter = 2;
  rec.remoteAvg = 4;
  rec.baudIndex = 2;
  rec.scanInterval = 100.0;
  rec.scanTable[3] = 0x37;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(converter.signOns(), 1);
  EXPECT_EQ(converter.lineBaud(), 2400u);
  EXPECT_EQ(bench.baudOf(1), 2400u);
  EXPECT_EQ(converter.modeHigh() & 0x1F, rec.modeHigh);
  EXPECT_EQ(converter.modeMid(), rec.modeMid);
  EXPECT_EQ(converter.modeLow(), rec.modeLow);
  EXPECT_EQ(converter.filter(), 2);
  EXPECT_EQ(converter.remoteAvg(), 4u);
  EXPECT_EQ(converter.scanTableEntry(3), 0x37);
  EXPECT_EQ(converter.intervalCount(), static_cast<uint32_t>(3906.25 / 4 * 100.00005 - 1));
  EXPECT_EQ(rec.firmwareVersion, converter.model().firmwareVersion);
  EXPECT_EQ(GetVer(&rec), 1);
}

TEST_F(ConverterBench, NewerFirmwareSignsOnWithItsCounters) {
  converter.model().firmwareVersion = 120;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(rec.firmwareVersion, 120);
  EXPECT_EQ(GetVer(&rec), 1);  // the counter packets left it in step
}

// The interval a client takes the scans' spacing to be is the one the
// converter's timer keeps, for every firmware and preset: where the sign-on
// counts on one time base and the timer runs on the other, it is neither the
// snapped nor the requested interval.
TEST_F(ConverterBench, TheTimerKeepsTheIntervalTheClientRuleGives) {
  for (int firmware : {100, 101}) {
    for (int32_t preset : {-1, 0, 255, 1000}) {
      for (int16_t baudIndex : {0, 3}) {
        converter.model().firmwareVersion = static_cast<uint8_t>(firmware);
        rec.counterPreset = preset;
        rec.baudIndex = baudIndex;
        rec.scanInterval = 0.5;
        ASSERT_EQ(SignOn(&rec), 1);
        EXPECT_EQ(converter.intervalCount(), tovTimerCount(&rec));
        EXPECT_DOUBLE_EQ(converter.scanIntervalS(), tovTimerInterval(&rec))
            << firmware << " " << preset << " " << baudIndex;
      }
    }
  }
  // Firmware 101 with no preset: CheckScanTime snaps 0.5 s to 0.4999168 s,
  // and the timer keeps 0.4997120 s.
  rec.counterPreset = -1;
  rec.baudIndex = 0;
  rec.scanInterval = 0.4999168;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_NEAR(tovTimerInterval(&rec), 0.4997120, 5e-8);
}

TEST_F(ConverterBench, EveryBaudRateOfTheTable) {
  const uint32_t rates[] = {9600, 4800, 2400, 1200, 600, 300};
  for (int16_t index = 0; index <= 5; ++index) {
    rec.baudIndex = index;
    ASSERT_EQ(SignOn(&rec), 1) << index;
    EXPECT_EQ(bench.baudOf(1), rates[index]);
    EXPECT_EQ(GetVer(&rec), 1) << index;
  }
}

struct Misbehaving {
  const char* name;
  void (*spoil)(k73::Misbehaviour&);
  int16_t result;
  int attempts;  // sign-on attempts, counted as the 0x88 bytes sent
};

TEST_F(ConverterBench, MisbehavingConvertersRestartOrFailAsTheyShould) {
  const Misbehaving cases[] = {
      {"silent", [](k73::Misbehaviour& m) { m.silent = true; }, 0, 0},
      {"no handshake", [](k73::Misbehaviour& m) { m.noHandshake = true; }, 0, 0},
      {"noise after 0x03", [](k73::Misbehaviour& m) { m.noiseInQuietPeriod = true; }, 0, 0},
      {"answers 0x88", [](k73::Misbehaviour& m) { m.answerSleepByte = true; }, 0, 4},
      {"wrong baud echo", [](k73::Misbehaviour& m) { m.wrongBaudEcho = true; }, 0, 4},
      {"no baud echo", [](k73::Misbehaviour& m) { m.noBaudEcho = true; }, 0, 1},
      {"wrong mode echo", [](k73::Misbehaviour& m) { m.wrongModeEcho = true; }, 0, 4},
      {"top bits in mode echo", [](k73::Misbehaviour& m) { m.modeEchoHighExtraBits = 0xE0; }, 1, 1},
  };
  for (const Misbehaving& c : cases) {
    k73::VirtualBench own;
    k73::Converter spoilt;
    c.spoil(spoilt.model().misbehave);
    own.attach(1, &spoilt);
    EXPECT_EQ(SignOn(&rec), c.result) << c.name;
    int sleepBytes = 0;
    for (const auto& w : own.sent(1)) sleepBytes += w.byte == 0x88 ? 1 : 0;
    if (c.attempts > 0) {
      EXPECT_EQ(sleepBytes, c.attempts) << c.name;
    }
    EXPECT_EQ(own.openPortCount(), c.result) << c.name;
    EXPECT_EQ(CloseDevice(&rec), 1);
  }
}

TEST_F(ConverterBench, ManySignOnsAndClosesLeaveNoPortOpen) {
  for (int cycle = 0; cycle < 100; ++cycle) {
    ASSERT_EQ(SignOn(&rec), 1) << cycle;
    ASSERT_EQ(CloseDevice(&rec), 1);
    ASSERT_EQ(bench.openPortCount(), 0) << cycle;
  }
  EXPECT_EQ(converter.signOns(), 100);
}

}  // namespace
}  // namespace linktest
