// The polled meter on the screen model: the reading column, its cycle over
// rows 13 to 21, the statistics panel, standby, leaving, and the port change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "polled.h"
#include "screen.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::ScreenModel;
using test::TestDevices;

constexpr int kEsc = 27;
#define ESC "\x1b"

// A converter whose n-th conversion (from 1) is n counts and n millivolts unless
// a test gives a sequence; keys (one per character, "\r" for Enter) are
// pressed during chosen conversions.
class PolledScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    screen.reset();
    fake.GetConversion = [this](DeviceRecord* rec) -> int16_t {
      ++conversions;
      auto keys = keysAfter.find(conversions);
      if (keys != keysAfter.end()) screen.pushKeys(keys->second);
      if (failAt != 0 && conversions == failAt) {
        rec->lastError = failCode;
        return 0;
      }
      const size_t i = static_cast<size_t>(conversions - 1);
      rec->counts = i < counts.size() ? counts[i] : conversions;
      rec->millivolts = i < millivolts.size() ? millivolts[i] : conversions;
      return 1;
    };
    fake.install();
    for (int i = 0; i < kDeviceCount; ++i) {
      devices[i].bytesPerConversion = 3;
      devices[i].firmwareVersion = 3;
    }
  }

  std::string Reading(long counts, double millivolts) {
    char line[64];
    std::snprintf(line, sizeof line, "   %9ld     %9.3lf", counts, millivolts);
    return line;
  }

  ScreenModel& screen = ScreenModel::instance();
  TestDevices devices;
  FakeDriver fake;
  int conversions = 0;
  int failAt = 0;
  int32_t failCode = 0;
  std::vector<int32_t> counts;
  std::vector<double> millivolts;
  std::map<int, std::string> keysAfter;
};

TEST_F(PolledScreen, ReadingsCycleOverRowsThirteenToTwentyOneWithThePanelAfterEachPass) {
  keysAfter[10] = ESC;
  RunPolledMode('4');

  EXPECT_EQ(conversions, 10);
  EXPECT_TRUE(screen.textAt(1, 13, Reading(10, 10.0)));  // the tenth overwrote the first
  for (int n = 2; n <= 9; ++n) EXPECT_TRUE(screen.textAt(1, 12 + n, Reading(n, n))) << n;
  EXPECT_TRUE(screen.textAt(40, 13, "Maximum         9.000 mv       "));
  EXPECT_TRUE(screen.textAt(40, 14, "Minimum         1.000 mv       "));
  EXPECT_TRUE(screen.textAt(40, 15, "Delta           8.000 mv       "));
  EXPECT_TRUE(screen.textAt(40, 16, "Average         0.000 mv       "));
  EXPECT_TRUE(screen.textAt(40, 18, "Standard deviation      0.000 mv    "));
  EXPECT_TRUE(screen.textAt(40, 19, "Effective Resolution    0.0   bits"));
  EXPECT_EQ(program.readingRow, 15);
  EXPECT_EQ(program.maxMillivolts, 10.0);

  // The next visit goes on where this one stopped, state and all.
  keysAfter = {{11, ESC}};
  RunPolledMode('4');
  EXPECT_TRUE(screen.textAt(1, 14, Reading(11, 11.0)));
  EXPECT_TRUE(screen.row(15).find_first_not_of(' ') == std::string::npos);
  EXPECT_EQ(program.maxMillivolts, 11.0);
  EXPECT_EQ(program.minMillivolts, 1.0);
}

TEST_F(PolledScreen, EntryDrawsTheWholeMenuPanel) {
  DeviceRecord& rec = devices[0];
  rec.channel = 2;
  rec.subChannel = 4;
  rec.remoteAvg = 16;
  rec.filter = 2;
  rec.gain = 8;
  rec.sampleRate = 123.4f;
  rec.bipolar = 1;
  program.localAveraging = 3;
  screen.pushKey(kEsc);
  RunPolledMode('4');

  EXPECT_EQ(conversions, 0);  // the key was already waiting
  EXPECT_TRUE(screen.textAt(10, 0, "POLLED  MENU   Marquant Model K73   Version=3"));
  EXPECT_TRUE(screen.textAt(5, 2, "C) A/D input Channel    2"));
  EXPECT_TRUE(screen.textAt(5, 3, "E) External sub-channel 4 "));
  EXPECT_TRUE(screen.textAt(5, 4, "A) remote Averaging     16"));
  EXPECT_TRUE(screen.textAt(5, 5, "L) Local averaging      3        "));
  EXPECT_TRUE(screen.textAt(5, 6, "T) filTer             400 hz "));
  EXPECT_TRUE(screen.textAt(5, 7, "G) Gain factor          8"));
  EXPECT_TRUE(screen.textAt(5, 8, "R) sample Rate        123.4"));
  EXPECT_TRUE(screen.textAt(5, 9, "B) out of standBy mode"));
  EXPECT_TRUE(screen.textAt(43, 2, "D) Digital inputs "));
  EXPECT_TRUE(screen.textAt(43, 3, "U) digital oUtput   "));
  EXPECT_TRUE(screen.textAt(43, 4, "K) checKsum                 "));
  EXPECT_TRUE(screen.textAt(43, 5, "S) System calibration"));
  EXPECT_TRUE(screen.textAt(43, 6, "O) Offset calibration"));
  EXPECT_TRUE(screen.textAt(43, 7, "W) Word length      24 bits"));
  EXPECT_TRUE(screen.textAt(43, 8, "P) Polarity         Bipolar"));
  EXPECT_TRUE(screen.textAt(43, 9, "Z) sleep"));
  EXPECT_TRUE(screen.textAt(43, 10, "X) Port=COM1  "));
  EXPECT_TRUE(screen.textAt(6, 11, "Counts      Millivolts"));
  EXPECT_TRUE(
      screen.textAt(1, 23, " Press ESC for menu or space to reset max/min                       "));
  EXPECT_FALSE(screen.contains("Decimal"));
}

TEST_F(PolledScreen, EachLineAveragesTheLocalAveragingCount) {
  program.localAveraging = 4;
  counts = {10, 11, 11, 11, -3, -4, 0, 0};
  millivolts = {1.0, 2.0, 2.5, 3.5, -1.0, -2.0, -1.0, -2.0};
  keysAfter[8] = ESC;
  RunPolledMode('4');
  EXPECT_TRUE(screen.textAt(1, 13, Reading(10, 2.25)));
  EXPECT_TRUE(screen.textAt(1, 14, Reading(-1, -1.5)));  // -7 / 4 truncates to -1
  EXPECT_EQ(program.maxMillivolts, 2.25);
  EXPECT_EQ(program.minMillivolts, -1.5);
}

TEST_F(PolledScreen, StoredAveragingBelowOneIsRefusedAsOne) {
  for (int32_t stored : {0, -3, 65536}) {
    program.localAveraging = stored;
    conversions = 0;
    keysAfter = {{2, ESC}};
    RunPolledMode('4');
    EXPECT_EQ(program.localAveraging, 1) << stored;
    EXPECT_EQ(conversions, 2) << stored;  // one conversion per reading
    EXPECT_TRUE(screen.textAt(5, 5, "L) Local averaging      1        ")) << stored;
  }
}

TEST_F(PolledScreen, FailedConversionShowsTheCodeAndWaitsForEsc) {
  failAt = 3;
  failCode = 0x8A;
  keysAfter[3] = "qx " ESC "Z";  // the Z must stay unread: polled mode is over
  RunPolledMode('4');

  EXPECT_TRUE(screen.textAt(1, 22, "get conversion failed, press any key to continue"));
  EXPECT_TRUE(screen.textAt(0, 23, "       8A       "));
  EXPECT_EQ(fake.count("GotoSleep"), 0);
  EXPECT_EQ(WaitKey(), 'Z');
  EXPECT_FALSE(KeyReady());
}

TEST_F(PolledScreen, FailedConversionAtEndOfInputDoesNotHang) {
  // The input ends while the converter is being asked.
  fake.GetConversion = [this](DeviceRecord* rec) -> int16_t {
    screen.endOfInputIsEsc = true;
    rec->lastError = 1;
    return 0;
  };
  RunPolledMode('4');
  EXPECT_TRUE(screen.textAt(1, 22, "get conversion failed"));
  EXPECT_TRUE(screen.textAt(0, 23, "       1       "));
}

TEST_F(PolledScreen, ReadingAfterAFailureOnTheLastRowStartsTheCycleAgain) {
  failAt = 9;  // the reading due on row 21
  failCode = 1;
  keysAfter[9] = ESC;
  RunPolledMode('4');

  failAt = 0;
  keysAfter = {{10, ESC}};
  screen.reset();
  RunPolledMode('4');
  EXPECT_TRUE(screen.textAt(1, 13, Reading(10, 10.0)));
  EXPECT_TRUE(screen.row(22).find_first_not_of(' ') == std::string::npos);
}

TEST_F(PolledScreen, SpaceMakesTheNextReadingBothExtremes) {
  millivolts = {1, 2, 3, 4, 5, 6, 7, 8, 9, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  keysAfter[9] = " ";
  keysAfter[18] = ESC;
  RunPolledMode('4');
  EXPECT_TRUE(screen.textAt(40, 13, "Maximum         5.000 mv"));
  EXPECT_TRUE(screen.textAt(40, 14, "Minimum         5.000 mv"));
  EXPECT_TRUE(screen.textAt(40, 15, "Delta           0.000 mv"));
}

TEST_F(PolledScreen, MeasurementChangingKeysResetTheNoiseBlockButNotMaxMin) {
  program.noise.count = 17;
  program.noise.sum = 1234;
  program.noise.stdDev = 0.5;
  program.maxMillivolts = 100;
  screen.pushKeys("gG");
  screen.pushKey(kEsc);
  RunPolledMode('4');
  EXPECT_EQ(program.noise.count, 1);
  EXPECT_EQ(program.noise.stdDev, 0.0);
  EXPECT_EQ(program.maxMillivolts, 100.0);

  program.noise.count = 17;
  screen.pushKeys("BBT ");
  screen.pushKey(kEsc);
  RunPolledMode('4');
  EXPECT_EQ(program.noise.count, 17);
}

TEST_F(PolledScreen, StandbyTakesNoReadingsButKeysStillWork) {
  devices[0].standby = 1;
  screen.pushKeys("DB");
  keysAfter[3] = ESC;
  RunPolledMode('4');
  EXPECT_EQ(fake.count("GetDigIn"), 1);
  EXPECT_EQ(devices[0].standby, 0);
  // The readings began only after 'B' took the converter out of standby.
  std::vector<std::string> names = fake.names();
  auto firstConversion = std::find(names.begin(), names.end(), "GetConversion");
  auto standbyOff = std::find(names.begin(), names.end(), "SendADMode");
  EXPECT_LT(standbyOff - names.begin(), firstConversion - names.begin());
  EXPECT_EQ(conversions, 3);
}

TEST_F(PolledScreen, SleepEndsPolledModeWithoutRedrawingTheMenu) {
  keysAfter[1] = "z";
  RunPolledMode('4');
  EXPECT_EQ(devices[0].asleep, 1);
  EXPECT_EQ(conversions, 1);
  EXPECT_FALSE(KeyReady());

  // A converter that does not go to sleep leaves the meter running.
  devices[0].asleep = 0;
  fake.GotoSleep = [](DeviceRecord*) { return int32_t{0}; };
  conversions = 0;
  keysAfter = {{1, "Z"}, {2, ESC}};
  RunPolledMode('4');
  EXPECT_EQ(conversions, 2);
}

TEST_F(PolledScreen, PortChangeToASignedOnDeviceSkipsTheSignOn) {
  program.signedOn[0] = 1;
  program.signedOn[1] = 1;
  // Three wrong entries ask again; the fourth is taken.
  keysAfter[2] = "X0\r5\rCOM2\r2\r";
  keysAfter[4] = ESC;
  RunPolledMode('4');

  EXPECT_EQ(program.currentDevice, 1);
  EXPECT_EQ(fake.count("SignOn"), 0);
  EXPECT_TRUE(screen.textAt(43, 10, "X) Port=COM2  "));
  EXPECT_EQ(fake.calls.back().record, &devices[1]);
  EXPECT_EQ(screen.transcript().find("Signing on"), std::string::npos);
  // The reading row carries over to the new device: readings 3 and 4 follow on.
  EXPECT_TRUE(screen.textAt(1, 15, Reading(3, 3.0)));
  EXPECT_TRUE(screen.textAt(1, 16, Reading(4, 4.0)));
}

TEST_F(PolledScreen, PortChangeToANewDeviceSignsItOnFirst) {
  program.signedOn[0] = 1;
  keysAfter[1] = "X3\r";
  keysAfter[2] = ESC;
  RunPolledMode('4');

  EXPECT_EQ(program.currentDevice, 2);
  EXPECT_EQ(program.signedOn[2], 1);
  const std::vector<std::string> names = fake.names();
  std::vector<std::string> after(names.begin() + 1, names.end() - 1);
  std::vector<std::string> expected = {"SignOn",    "GetComHandle", "SysCal",     "GetVer",
                                       "RemoteAvg", "SetChanCode",  "FilterDelay"};
  EXPECT_EQ(after, expected);
  EXPECT_EQ(fake.calls.back().record, &devices[2]);
}

TEST_F(PolledScreen, FailedSignOnDuringPortChangeGoesBackToTheMainMenu) {
  keysAfter[1] = "X4\rq";  // q: the key after the failure message
  fake.SignOn = [](DeviceRecord*) { return int16_t{0}; };
  RunPolledMode('4');

  EXPECT_TRUE(screen.textAt(16, 13, "unable to sign on.  Press any key to continue"));
  EXPECT_EQ(program.signedOn[3], 0);
  EXPECT_EQ(conversions, 1);
  EXPECT_FALSE(KeyReady());
}

TEST_F(PolledScreen, PortPromptAtEndOfInputStaysOnTheCurrentDevice) {
  program.signedOn[0] = 1;
  screen.pushKey('X');
  screen.endOfInputIsEsc = true;
  RunPolledMode('4');
  EXPECT_EQ(program.currentDevice, 0);
  EXPECT_EQ(fake.count("SignOn"), 0);
}

}  // namespace
}  // namespace tov
