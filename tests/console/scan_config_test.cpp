// The scanning configuration screen on the screen model: the channel table
// and its counting rule, control-code and single-channel entry, scan type,
// device change, the interval entry and Enter's checks.
#include <gtest/gtest.h>

#include <string>

#include "scanning.h"
#include "screen.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::ScreenModel;
using test::ScriptExhausted;
using test::TestDevices;

constexpr int kEsc = 27;
constexpr int kEnter = 13;
constexpr int16_t kSkipped = 16;

// Columns of one channel row: FROM, TO and the channel's points.
constexpr int kFromColumn = 30;
constexpr int kToColumn = 44;
constexpr int kPointsColumn = 57;

int ChannelRow(int channel) {
  return 6 + 2 * channel;
}

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ScanConfigScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    screen.reset();
    fake.install();
  }
  DeviceRecord& rec() { return devices[0]; }

  ScreenModel& screen = ScreenModel::instance();
  TestDevices devices;
  FakeDriver fake;
};

TEST_F(ScanConfigScreen, DefaultTableCountsOnePointPerChannel) {
  screen.pushKey(kEsc);
  EXPECT_EQ(EditScanConfig(), 0);

  EXPECT_TRUE(screen.textAt(27, 0, "SCANNING  CONFIGURATION"));
  EXPECT_TRUE(screen.textAt(60, 0, "X) RU73 at COM1"));
  for (int channel = 0; channel < 6; ++channel) {
    EXPECT_EQ(screen.text(kFromColumn, ChannelRow(channel), 2), " 0");
    EXPECT_EQ(screen.text(kToColumn, ChannelRow(channel), 2), " 0");
    EXPECT_EQ(screen.text(kPointsColumn, ChannelRow(channel), 2), " 1");
    EXPECT_EQ(program.channelPoints[channel], 1);
  }
  EXPECT_TRUE(screen.contains("Esc) To continue         data points per scan  6"));
  EXPECT_TRUE(screen.textAt(17, 20, "7) Scan type: Normal"));
  EXPECT_EQ(rec().pointsPerScan, 6);
  // Esc leaves without a word to the converter.
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(ScanConfigScreen, ControlCodeRangesAreStoredCountedAndSkipped) {
  screen.pushKey('2');
  screen.typeLine("3");
  screen.typeLine("7");
  screen.pushKey('4');
  screen.typeLine("9");
  screen.typeLine("4");
  screen.pushKey(kEsc);
  EXPECT_EQ(EditScanConfig(), 0);

  EXPECT_EQ(rec().scanTable[2], 55);
  EXPECT_EQ(screen.text(kFromColumn, ChannelRow(2), 2), " 3");
  EXPECT_EQ(screen.text(kToColumn, ChannelRow(2), 2), " 7");
  EXPECT_EQ(screen.text(kPointsColumn, ChannelRow(2), 2), " 5");

  EXPECT_EQ(rec().scanTable[4], kSkipped);
  EXPECT_EQ(screen.text(kFromColumn, ChannelRow(4), 2), " 1");
  EXPECT_EQ(screen.text(kToColumn, ChannelRow(4), 2), " 0");
  EXPECT_EQ(screen.text(kPointsColumn, ChannelRow(4), 2), " 0");

  // 1 + 1 + 5 + 1 + 0 + 1
  EXPECT_TRUE(screen.contains("data points per scan  9"));
}

TEST_F(ScanConfigScreen, ControlCodesOutsideTheRangeAreAskedAgain) {
  screen.pushKey('1');
  screen.typeLine("");     // nothing
  screen.typeLine("16");   // above 15
  screen.typeLine("-1");   // below 0
  screen.typeLine("123");  // only two characters count: 12
  screen.typeLine("x");
  screen.typeLine("15");
  screen.pushKey(kEsc);
  EditScanConfig();

  EXPECT_EQ(rec().scanTable[1], 12 * 16 + 15);
  EXPECT_EQ(Occurrences(screen.transcript(), "Enter starting control code"), 4);
  EXPECT_EQ(Occurrences(screen.transcript(), "Enter ending control code"), 2);
}

TEST_F(ScanConfigScreen, EndOfInputAtACodePromptKeepsTheChannelAndStopsAsking) {
  rec().scanTable[3] = 0x25;
  screen.pushKey('3');
  screen.typeLine("4");
  // The script ends at the ending-code prompt: the entry is abandoned and the
  // screen waits for its next key, which never comes.
  EXPECT_THROW(EditScanConfig(), ScriptExhausted);
  EXPECT_EQ(rec().scanTable[3], 0x25);
  EXPECT_EQ(Occurrences(screen.transcript(), "Enter ending control code"), 1);
}

TEST_F(ScanConfigScreen, SingleChannelEntryWrapsCodesAndRefusesNegativeOnes) {
  rec().scanType = 0;
  screen.pushKey('4');
  screen.typeLine("21");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().subChannel, 5);
  EXPECT_EQ(rec().channel, 4);
  EXPECT_EQ(rec().singleChanCode, 69);
  EXPECT_TRUE(screen.textAt(18, 6, "4               5                 1"));
  EXPECT_TRUE(screen.textAt(15, 9, "   PRESS 0 - 5 FOR CHANNEL"));
  EXPECT_FALSE(screen.contains("data points per scan"));

  // A negative code would read as a lower channel and is refused whole.
  screen.reset();
  screen.pushKey('2');
  screen.typeLine("-3");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().singleChanCode, 69);
  EXPECT_TRUE(screen.textAt(18, 6, "4               5"));

  // A line without a number keeps the old code but still selects the
  // channel; only the low 16 bits of a large number count.
  screen.reset();
  screen.pushKey('1');
  screen.typeLine("none");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().channel, 1);
  EXPECT_EQ(rec().subChannel, 5);
  EXPECT_EQ(rec().singleChanCode, 16 + 5);
  EXPECT_TRUE(screen.textAt(18, 6, "1               5"));

  screen.reset();
  screen.pushKey('1');
  screen.typeLine("65547");  // 65536 + 11
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().singleChanCode, 16 + 11);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(ScanConfigScreen, ScanTypeCyclesAndSelfCalibrationNeedsGainOne) {
  screen.pushKeys("7");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().scanType, 2);
  EXPECT_TRUE(screen.textAt(17, 20, "7) Scan type: Self-Calibration"));
  EXPECT_TRUE(screen.contains("data points per scan  6"));

  screen.reset();
  screen.pushKeys("7");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().scanType, 0);
  EXPECT_TRUE(screen.textAt(17, 20, "7) Scan type: Single Channel  "));

  // At gain 2 a stored self-calibration type is shown as single channel, and
  // the key only alternates single channel and normal.
  rec().gain = 2;
  rec().scanType = 2;
  screen.reset();
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(rec().scanType, 0);
  EXPECT_TRUE(screen.textAt(17, 20, "7) Scan type: Single Channel"));
  for (int expected : {1, 0, 1}) {
    screen.reset();
    screen.pushKeys("7");
    screen.pushKey(kEsc);
    EditScanConfig();
    EXPECT_EQ(rec().scanType, expected);
  }
}

TEST_F(ScanConfigScreen, XStepsThroughTheDevicesAndWrapsToTheFirst) {
  devices[1].scanTable[0] = 0x0F;  // sixteen points on the second device
  screen.pushKey('x');
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(program.currentDevice, 1);
  EXPECT_TRUE(screen.textAt(60, 0, "X) RU73 at COM2"));
  EXPECT_TRUE(screen.contains("data points per scan  21"));

  program.currentDevice = 3;
  screen.reset();
  screen.pushKey('X');
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_EQ(program.currentDevice, 0);
  EXPECT_TRUE(screen.textAt(60, 0, "X) RU73 at COM1"));
}

TEST_F(ScanConfigScreen, EnterRefusesAnEmptyTableWhateverTheType) {
  rec().scanType = 0;
  for (int16_t& entry : rec().scanTable) entry = kSkipped;
  screen.pushKey(kEnter);
  screen.pushKey(' ');
  screen.pushKey(kEsc);
  EXPECT_EQ(EditScanConfig(), 0);
  // Printed where the cursor stood: just after the COM text of row 0.
  EXPECT_NE(screen.transcript().find(
                "X) RU73 at COM1You must enter control codes first, press any key to continue"),
            std::string::npos);
  EXPECT_EQ(fake.count("CheckScanTime"), 0);
}

// A list longer than the 128-byte scan buffer is refused at Enter, with the
// limit for the word width and scan type, before any sign-on or file.
TEST_F(ScanConfigScreen, EnterRefusesAListTooLongForTheScanBuffer) {
  for (int16_t& entry : rec().scanTable) entry = 0x0F;  // 96 points
  for (int16_t bytes : {3, 2}) {
    rec().bytesPerConversion = bytes;
    screen.pushKeys({kEnter, ' ', kEsc});
    EXPECT_EQ(EditScanConfig(), 0);
  }
  const std::string& shown = screen.transcript();
  EXPECT_NE(shown.find("Too many points: at most 42 points of 24 bits, press any key to continue"),
            std::string::npos);
  EXPECT_NE(shown.find("Too many points: at most 63 points of 16 bits, press any key to continue"),
            std::string::npos);
  EXPECT_EQ(fake.count("CheckScanTime"), 0);
  EXPECT_EQ(fake.count("SignOn"), 0);
}

TEST_F(ScanConfigScreen, EnterReportsReducedAveragingAndGoesOn) {
  fake.CheckScanTime = [](DeviceRecord* r, double*, double*) -> int16_t {
    r->remoteAvg = 4;
    return 2;
  };
  screen.pushKey(kEnter);
  screen.pushKey(' ');
  EXPECT_EQ(EditScanConfig(), 1);
  // At the cursor, after the COM text of row 0.
  EXPECT_NE(screen.transcript().find("COM1Reduced averaging to 4- Press any key to continue"),
            std::string::npos);
  EXPECT_THROW(WaitKey(), ScriptExhausted);  // the pause took its key
}

TEST_F(ScanConfigScreen, EnterOutOfLimitsAsksForAnIntervalUntilOneFits) {
  int checks = 0;
  fake.CheckScanTime = [&checks](DeviceRecord* r, double* maxOut, double* minOut) -> int16_t {
    *minOut = 1.984;
    *maxOut = 4232.999936;
    ++checks;
    if (r->scanInterval < 1.984) return 0;
    r->scanInterval = 2.999808;  // onto the converter's timer
    return 1;
  };
  rec().scanInterval = 1.0;
  screen.pushKey(kEnter);
  screen.pushKey(' ');     // out of limits
  screen.typeLine("0.5");  // still too short
  screen.pushKey(' ');
  screen.typeLine("3");
  EXPECT_EQ(EditScanConfig(), 1);
  EXPECT_EQ(checks, 3);
  EXPECT_EQ(rec().scanInterval, 2.999808);
  EXPECT_EQ(Occurrences(screen.transcript(), "Scan time out of limits, press any key to continue"),
            2);
  EXPECT_TRUE(screen.textAt(10, 9,
                            std::string("Enter scan time ") + "    1.9840" + "  - " +
                                "   4232.9999" + "  seconds  " + "3"));
}

TEST_F(ScanConfigScreen, IntervalEntryShowsTheSnappedValueAndKeepsItOnBadLines) {
  fake.CheckScanTime = [](DeviceRecord* r, double*, double*) -> int16_t {
    r->scanInterval = static_cast<int>(r->scanInterval * 4096) / 4096.0;
    return 1;
  };
  screen.pushKey('6');
  screen.typeLine("2.5001");
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_TRUE(screen.textAt(17, 18, "6) Scan Interval       2.5000 seconds"));

  // Neither text nor NaN replaces the interval.
  for (const char* line : {"abc", "nan", "inf"}) {
    screen.reset();
    screen.pushKey('6');
    screen.typeLine(line);
    screen.pushKey(kEsc);
    EditScanConfig();
    EXPECT_EQ(rec().scanInterval, 2.5) << line;
  }
  EXPECT_EQ(fake.count("CheckScanTime"), 8);  // one before each prompt, one after
}

TEST_F(ScanConfigScreen, IntervalEntryEndsAtTheEndOfInput) {
  fake.CheckScanTime = [](DeviceRecord*, double*, double*) -> int16_t { return 0; };
  screen.endOfInputIsEsc = true;
  screen.pushKey('6');
  EXPECT_EQ(EditScanConfig(), 0);
  EXPECT_EQ(fake.count("CheckScanTime"), 2);
  EXPECT_EQ(Occurrences(screen.transcript(), "Enter scan time"), 1);
}

TEST_F(ScanConfigScreen, IntervalEntryNeedsDataPoints) {
  for (int16_t& entry : rec().scanTable) entry = kSkipped;
  screen.pushKey('6');
  screen.pushKey(' ');
  screen.pushKey(kEsc);
  EditScanConfig();
  EXPECT_NE(
      screen.transcript().find("You must enter control codes first, press any key to continue"),
      std::string::npos);
  EXPECT_EQ(screen.transcript().find("Enter scan time"), std::string::npos);
}

TEST(ScanPointCount, FollowsTheTableAndNeverCountsBelowZero) {
  DeviceRecord rec{};
  int32_t points[6];
  const int16_t table[6] = {0x37, kSkipped, 0x52, 0x0F, 0x00, 0x95};
  for (int i = 0; i < 6; ++i) rec.scanTable[i] = table[i];
  CountScanPoints(&rec, points);
  // 0x52 (5 to 2) and 0x95 (9 to 5) would count -2 and -3: they scan nothing.
  const int32_t expected[6] = {5, 0, 0, 16, 1, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(points[i], expected[i]) << "channel " << i;
  EXPECT_EQ(rec.pointsPerScan, 22);
}

}  // namespace
}  // namespace tov
