// Polled conversions, settings and calibration against the simulated converter
// after a real sign-on, in virtual time.
#include <gtest/gtest.h>

#include "bench_record.h"
#include "converter.h"
#include "link.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace polled {
namespace {

class SignedOnConverter : public ::testing::Test {
 protected:
  void SetUp() override {
    k73::Model model;  // steady inputs without noise
    model.inputMv[0][2] = 1254.5;
    model.inputMv[2][0] = -1500.0;
    model.inputMv[3][0] = 4000.0;
    model.digitalInputs = 0x5A;
    converter.model() = model;
    bench.attach(1, &converter);

    for (auto& entry : rec.scanTable) entry = 0x10;
    ASSERT_EQ(SignOn(&rec), 1);
  }
  void TearDown() override { CloseDevice(&rec); }

  // Selects a channel and reads one conversion.
  double readMv(int channel, int sub) {
    rec.channel = static_cast<int16_t>(channel);
    rec.subChannel = static_cast<int16_t>(sub);
    EXPECT_EQ(SetChanCode(&rec), 1);
    EXPECT_EQ(GetConversion(&rec), 1) << "lastError " << rec.lastError;
    return rec.millivolts;
  }

  k73::VirtualBench bench;
  k73::Converter converter;
  DeviceRecord rec = k73test::benchRecord();
};

TEST_F(SignedOnConverter, ConversionsGiveTheInputsInMillivolts) {
  EXPECT_NEAR(readMv(0, 2), 1254.5, 0.01);
  EXPECT_NEAR(readMv(3, 0), 4000.0, 0.01);

  rec.bytesPerConversion = 2;  // 16-bit words: coarser steps
  rec.bipolar = 1;
  ASSERT_EQ(SendADMode(&rec), 1);
  EXPECT_NEAR(readMv(2, 0), -1500.0, 0.2);
  EXPECT_LE(rec.counts, 65535);
}

TEST_F(SignedOnConverter, AveragedConversionsArriveWithinTheLongerTimeout) {
  rec.remoteAvg = 64;
  ASSERT_EQ(RemoteAvg(&rec), 1);
  EXPECT_EQ(converter.remoteAvg(), 64u);
  EXPECT_EQ(rec.replyTimeout, 8000);
  const int64_t start = bench.nowMs();
  EXPECT_NEAR(readMv(0, 2), 1254.5, 0.01);
  EXPECT_GT(bench.nowMs() - start, 6000);  // 64 conversions at 10 Hz
}

TEST_F(SignedOnConverter, ChecksumAgreesRightAfterSignOnAndAgain) {
  EXPECT_EQ(GetCheckSum(&rec), 1);
  EXPECT_EQ(GetCheckSum(&rec), 1);
  readMv(0, 2);
  EXPECT_EQ(GetCheckSum(&rec), 1);
}

TEST_F(SignedOnConverter, SettingsReachTheConverter) {
  EXPECT_EQ(SetDigOut(&rec, 300), 1);
  rec.filter = 1;
  EXPECT_EQ(SetFilter(&rec), 1);
  ASSERT_EQ(GetDigIn(&rec), 1);
  EXPECT_EQ(rec.digitalIn, 0x5A);

  rec.sampleRate = 15000;
  ASSERT_EQ(SendADMode(&rec), 1);
  EXPECT_FLOAT_EQ(rec.sampleRate, 1027.0f);
  bench.advanceToUs(bench.nowUs() + 10'000);
  EXPECT_EQ(converter.digitalOutputs(), 44);
  EXPECT_EQ(converter.filter(), 1);
  EXPECT_EQ(converter.modeLow(), 1);
  EXPECT_EQ(converter.modeMid() & 7, 0);
}

TEST_F(SignedOnConverter, CalibrationsAndSleep) {
  rec.channel = 1;
  EXPECT_EQ(OffsetCal(&rec), 1);
  EXPECT_EQ(FullScaleCal(&rec), 1);
  rec.gain = 8;
  ASSERT_EQ(SysCal(&rec), 1);
  EXPECT_EQ(rec.gain, 8);
  EXPECT_EQ(converter.modeHigh() & 0x1F, 0x0C);

  const int64_t start = bench.nowMs();
  EXPECT_EQ(GotoSleep(&rec), 1);
  EXPECT_EQ(bench.nowMs() - start, 500);
  EXPECT_TRUE(converter.asleep());
  EXPECT_EQ(GetConversion(&rec), 0);  // asleep until the next sign-on
  EXPECT_EQ(rec.lastError, 1);
  rec.gain = 1;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_NEAR(readMv(0, 2), 1254.5, 0.01);
}

TEST_F(SignedOnConverter, MisbehavingRepliesFailTheConversion) {
  struct Case {
    const char* name;
    k73::Misbehaviour fault;
    int32_t lastError;
  };
  Case cases[] = {{"wrong echo", {}, 0x8A}, {"short reply", {}, 1}, {"silent", {}, 1}};
  cases[0].fault.wrongEcho = 0x8A;
  cases[1].fault.shortReply = 3;  // echo and two of three data bytes
  cases[2].fault.silent = true;
  for (const Case& c : cases) {
    converter.model().misbehave = c.fault;
    bench.advanceToUs(bench.nowUs() + 100'000);  // the rest of the last reply is in
    rec.lastError = 0;
    EXPECT_EQ(GetConversion(&rec), 0) << c.name;
    EXPECT_EQ(rec.lastError, c.lastError) << c.name;
  }
}

}  // namespace
}  // namespace polled
