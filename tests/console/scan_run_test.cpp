// Scan runs on the screen model with a recording fake driver: the table of
// values, the data file, every failure message, the stop paths and the
// return to the configuration screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "main_menu.h"
#include "scan_file.h"
#include "scanning.h"
#include "screen.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::ScreenModel;
using test::TestDevices;

constexpr int kEsc = 27;
constexpr int kEnter = 13;
constexpr int16_t kSkipped = 16;

int CellColumn(int channel) {
  return channel * 12 + 5;
}
int CellRow(int code) {
  return code + 2;
}

// A converter whose k-th value (from 0) of scan s (from 1) reads
// s * 1000 + k + 0.25 mV, so every cell and field tells where it came from.
class ScanRunScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    screen.reset();
    char pattern[] = "/tmp/scan_run_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;

    fake.GetOneScan = [this](DeviceRecord* r) -> int16_t {
      ++scans;
      valueInScan = 0;
      if (scans == failAt) {
        r->lastError = failCode;
        screen.pushKey(' ');  // the key the failure message waits for
        return 0;
      }
      r->scanBuffer[0] = 0x0F;
      if (scans == badEndAt) {
        r->scanBuffer[0] = 0x0E;
        if (r->scanType != 0) screen.pushKey(' ');
      }
      r->scanBufferCount = 1;
      if (stopEvery > 0 && scans % stopEvery == 0) screen.pushKey('q');
      return 1;
    };
    fake.Gconv = [this](DeviceRecord* r) { r->millivolts = scans * 1000 + valueInScan++ + 0.25; };
    fake.StopScanning = [this](DeviceRecord*) -> int16_t {
      rowsAtStop.clear();
      for (int row = 0; row < ScreenModel::kRows; ++row) rowsAtStop.push_back(screen.row(row));
      for (int key : keysAtStop) screen.pushKey(key);
      keysAtStop = {kEsc};
      return 1;
    };
    fake.install();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  DeviceRecord& rec() { return devices[0]; }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Text of the screen as the run left it when it called StopScanning.
  std::string atStop(int column, int row, int length) const {
    return rowsAtStop.at(row).substr(column, length);
  }
  void ExpectEveryKeyTaken() { EXPECT_THROW(WaitKey(), test::ScriptExhausted); }
  void Run(const std::string& fileAnswer, int16_t savedChannel = 0, int16_t savedSub = 0) {
    screen.typeLine(fileAnswer);
    ScanRun(savedChannel, savedSub);
  }

  ScreenModel& screen = ScreenModel::instance();
  TestDevices devices;
  FakeDriver fake;
  std::string dir;
  int scans = 0;
  int valueInScan = 0;
  int failAt = 0;
  int32_t failCode = 0;
  int badEndAt = 0;
  int stopEvery = 2;
  std::vector<int> keysAtStop = {kEsc};
  std::vector<std::string> rowsAtStop;
};

TEST_F(ScanRunScreen, NormalScansFillTheTableAndAppendOneLineEach) {
  Run(path("run.txt"));

  EXPECT_EQ(atStop(1, 0, 42), " CC    chan 0      chan 1      chan 2     ");
  EXPECT_EQ(atStop(43, 0, 31), " chan 3      chan 4      chan 5");
  for (int code = 0; code < 16; ++code) {
    EXPECT_EQ(atStop(0, CellRow(code), 4), " " + std::to_string(code) + (code < 10 ? "  " : " "));
  }
  for (int channel = 0; channel < 6; ++channel) {
    EXPECT_EQ(atStop(CellColumn(channel), 2, 9), " 200" + std::to_string(channel) + ".250");
  }
  EXPECT_EQ(atStop(1, 24, 41), "                    Wait                 ");
  EXPECT_NE(screen.transcript().find("SCAN # 2"), std::string::npos);
  EXPECT_EQ(screen.transcript().find("SCAN # 3"), std::string::npos);
  EXPECT_NE(screen.transcript().find("Scan interval      2.000 secs"), std::string::npos);

  EXPECT_EQ(read("run.txt"),
            " 1000.250   1001.250   1002.250   1003.250   1004.250   1005.250  \n"
            " 2000.250   2001.250   2002.250   2003.250   2004.250   2005.250  \n");

  const std::vector<std::string> start = {"SignOn", "GetComHandle", "SysCal", "RemoteAvg",
                                          "StartScanning"};
  const std::vector<std::string> names = fake.names();
  ASSERT_GE(names.size(), start.size());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5), start);
  EXPECT_EQ(fake.count("SetChanCode"), 0);
  EXPECT_EQ(fake.count("RemFromBuffer"), 2);
  for (const auto& call : fake.calls) {
    if (call.name == "RemFromBuffer") {
      EXPECT_EQ(call.argument, 1);
    }
  }
  EXPECT_EQ(fake.count("StopScanning"), 1);
  EXPECT_TRUE(screen.contains("SCANNING  CONFIGURATION"));  // back on the configuration screen
}

TEST_F(ScanRunScreen, SkippedChannelsAndBackwardRangesGiveNoCellsAndNoFields) {
  // Channel 0 codes 0-1, channel 3 code 5, channel 4 from 5 down to 2 (only
  // an edited settings file holds that): it counts nothing rather than -2.
  const int16_t table[6] = {0x01, kSkipped, kSkipped, 0x55, 0x52, kSkipped};
  for (int i = 0; i < 6; ++i) rec().scanTable[i] = table[i];
  stopEvery = 1;
  Run(path("few.txt"));

  EXPECT_EQ(atStop(CellColumn(0), CellRow(0), 9), " 1000.250");
  EXPECT_EQ(atStop(CellColumn(0), CellRow(1), 9), " 1001.250");
  EXPECT_EQ(atStop(CellColumn(3), CellRow(5), 9), " 1002.250");
  for (int channel : {1, 2, 4, 5}) {
    for (int code = 0; code < 16; ++code) {
      EXPECT_EQ(atStop(CellColumn(channel), CellRow(code), 9), std::string(9, ' '));
    }
  }
  EXPECT_EQ(read("few.txt"), " 1000.250   1001.250   1002.250  \n");
  EXPECT_EQ(rec().pointsPerScan, 3);
}

TEST_F(ScanRunScreen, SelfCalibrationScansLeadWithTheCalibrationValues) {
  rec().scanType = 2;
  const int16_t table[6] = {kSkipped, 0x23, kSkipped, kSkipped, kSkipped, kSkipped};
  for (int i = 0; i < 6; ++i) rec().scanTable[i] = table[i];
  stopEvery = 1;
  Run(path("cal.txt"));

  EXPECT_EQ(atStop(2, 22, 23), "Offset cal     1000.250");
  EXPECT_EQ(atStop(27, 22, 27), "Full scale cal     1001.250");
  EXPECT_EQ(atStop(CellColumn(1), CellRow(2), 9), " 1002.250");
  EXPECT_EQ(atStop(CellColumn(1), CellRow(3), 9), " 1003.250");
  EXPECT_EQ(read("cal.txt"), " 1000.250   1001.250   1002.250   1003.250  \n");
}

TEST_F(ScanRunScreen, SingleChannelScansShowOneCellWithoutMarkers) {
  rec().scanType = 0;
  rec().singleChanCode = 0x27;
  rec().channel = 2;
  rec().subChannel = 7;
  badEndAt = 1;  // a single-channel scan has no end marker to check
  stopEvery = 3;
  Run(path("one.txt"));

  EXPECT_EQ(atStop(29, 9, 9), " 3000.250");
  EXPECT_EQ(read("one.txt"), " 1000.250  \n 2000.250  \n 3000.250  \n");
  EXPECT_EQ(screen.transcript().find("End scan framing failure"), std::string::npos);
  EXPECT_EQ(fake.count("RemFromBuffer"), 0);
  const std::vector<std::string> names = fake.names();
  ASSERT_GE(names.size(), 6u);
  EXPECT_EQ(names[4], "SetChanCode");
  EXPECT_EQ(names[5], "StartScanning");
}

TEST_F(ScanRunScreen, EveryFailedScanHasItsMessageAndEndsTheRun) {
  struct Case {
    int32_t lastError;
    int32_t scansWaiting;
    std::string message;  // at column 2, row 18
    int pressRow;
  };
  const std::vector<Case> cases = {
      {1, 1, "Start scan framing failure", 20},
      {2, 1, "not enough chars, possible communications error", 19},
      {3, -1, "buffer overflow", 19},
      {10, 1, "scan rate too fast for this scan type", 19},
      {7, 1, "", 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastError);
    screen.reset();
    fake.calls.clear();
    scans = 0;
    failAt = 2;  // the first scan is good and stays in the file
    failCode = c.lastError;
    fake.GetNumScansInBuffer = [&c](DeviceRecord*) { return c.scansWaiting; };
    std::filesystem::remove(path("fail.txt"));
    screen.typeLine(path("fail.txt"));
    ScanRun(0, 0);

    EXPECT_EQ(atStop(2, 18, 78), c.message + std::string(78 - c.message.size(), ' '));
    EXPECT_EQ(atStop(0, c.pressRow, 27), " press any key to continue ");
    EXPECT_EQ(read("fail.txt"),
              " 1000.250   1001.250   1002.250   1003.250   1004.250   1005.250  \n");
    EXPECT_EQ(fake.count("GetOneScan"), 2);
    EXPECT_EQ(fake.count("StopScanning"), 1);
    ExpectEveryKeyTaken();
  }
}

TEST_F(ScanRunScreen, AMissingEndMarkerIsReportedAfterTheScanIsFiled) {
  badEndAt = 1;
  keysAtStop = {kEsc};
  screen.typeLine(path("end.txt"));
  ScanRun(0, 0);

  EXPECT_NE(screen.transcript().find(" 1005.250End scan framing failure "), std::string::npos);
  EXPECT_EQ(read("end.txt"),
            " 1000.250   1001.250   1002.250   1003.250   1004.250   1005.250  \n");
  EXPECT_EQ(fake.count("RemFromBuffer"), 0);
  EXPECT_EQ(fake.count("GetOneScan"), 1);
  EXPECT_EQ(fake.count("StopScanning"), 1);
}

// A full disk: the first line the file does not take ends the run with the
// reason, rather than the screen going on with scans that are not stored.
TEST_F(ScanRunScreen, ADataFileThatTakesNoMoreStopsTheRunWithTheReason) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (int16_t type : {1, 0}) {
    rec().scanType = type;
    scans = 0;
    stopEvery = 0;
    const auto scan = fake.GetOneScan;
    fake.GetOneScan = [&, scan](DeviceRecord* r) -> int16_t {
      screen.pushKey(' ');  // the key the message waits for
      return scan(r);
    };
    Run("/dev/full");
    fake.GetOneScan = scan;

    EXPECT_EQ(atStop(2, 18, 65),
              "Data file not written (No space left on device): scanning stopped");
    EXPECT_EQ(fake.count("GetOneScan"), type == 1 ? 1 : 2);
  }
  EXPECT_EQ(fake.count("StopScanning"), 2);
}

TEST_F(ScanRunScreen, AKeyBeforeTheFirstScanStopsWithNothingFiled) {
  int polls = 0;
  fake.GetNumScansInBuffer = [&](DeviceRecord*) -> int32_t {
    if (++polls == 3) screen.pushKey('q');
    return 0;
  };
  Run(path("none.txt"));

  EXPECT_EQ(fake.count("GetOneScan"), 0);
  EXPECT_EQ(screen.transcript().find("SCAN #"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(path("none.txt")));
  EXPECT_EQ(read("none.txt"), "");
  EXPECT_EQ(fake.count("StopScanning"), 1);
  ExpectEveryKeyTaken();
}

// The wait sleeps on the keyboard and the port; a converter that goes silent
// is found by the program's own clock, the interval plus 2 s and a scan's time
// on the wire after the last scan, without asking the driver for its bytes.
TEST_F(ScanRunScreen, ASilentConverterIsLeftToTheDriverAtTheScanDeadline) {
  rec().scanInterval = 1.5;
  int64_t clockAtScan = -1;
  fake.GetNumScansInBuffer = [](DeviceRecord*) { return 0; };
  failAt = 1;
  failCode = 2;
  const auto failingScan = fake.GetOneScan;
  fake.GetOneScan = [&](DeviceRecord* r) {
    clockAtScan = screen.clockMs;
    return failingScan(r);
  };
  Run("");

  // 6 points of 3 bytes and the two markers at 9600 baud: 21 ms.
  EXPECT_GE(clockAtScan, 3500 + 21);
  EXPECT_LE(clockAtScan, 3500 + 21 + 30);
  EXPECT_EQ(fake.count("GetNumBytesInBuffer"), 0);
  EXPECT_EQ(atStop(2, 18, 47), "not enough chars, possible communications error");
}

// A termination request during a run: the scan under way is shown and filed
// whole, the file is closed before StopScanning, and the stop goes on up.
TEST_F(ScanRunScreen, AStopRequestFilesTheScanUnderWayThenStopsScanning) {
  stopEvery = 0;
  const auto scan = fake.GetOneScan;
  fake.GetOneScan = [&](DeviceRecord* r) {
    if (scans == 1) screen.interruptSignal = 15;
    return scan(r);
  };
  std::string fileAtStop;
  fake.StopScanning = [&](DeviceRecord*) {
    fileAtStop = read("stop.txt");
    return int16_t{1};
  };
  screen.typeLine(path("stop.txt"));
  EXPECT_THROW(ScanRun(0, 0), Interrupted);

  EXPECT_EQ(fake.count("GetOneScan"), 2);
  EXPECT_EQ(fake.count("StopScanning"), 1);
  EXPECT_EQ(fileAtStop,
            " 1000.250   1001.250   1002.250   1003.250   1004.250   1005.250  \n"
            " 2000.250   2001.250   2002.250   2003.250   2004.250   2005.250  \n");
  EXPECT_EQ(StopAfterInterrupt(15), 143);
}

TEST_F(ScanRunScreen, NoFileAnswerScansWithoutAFile) {
  Run("");
  EXPECT_EQ(fake.count("GetOneScan"), 2);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_EQ(atStop(CellColumn(5), 2, 9), " 2005.250");
}

TEST_F(ScanRunScreen, TwoRunsAppendToOneFileAndPutTheChannelBack) {
  rec().channel = 5;
  rec().subChannel = 9;
  // At the first stop: Enter on the configuration screen starts another run
  // with the same file.
  keysAtStop = {kEnter};
  for (char c : path("both.txt")) keysAtStop.push_back(c);
  keysAtStop.push_back(kEnter);
  Run(path("both.txt"), 1, 3);

  EXPECT_EQ(fake.count("SignOn"), 2);
  EXPECT_EQ(fake.count("StopScanning"), 2);
  const std::string file = read("both.txt");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4);
  EXPECT_EQ(file.rfind(" 4005.250  \n"), file.size() - 12);
  EXPECT_EQ(file.find(" 1000.250"), 0u);
  EXPECT_EQ(rec().channel, 1);
  EXPECT_EQ(rec().subChannel, 3);
}

TEST_F(ScanRunScreen, AFailedSignOnGoesBackToTheMainMenu) {
  rec().channel = 5;
  fake.SignOn = [](DeviceRecord*) -> int16_t { return 0; };
  screen.pushKey(' ');
  ScanRun(1, 3);
  EXPECT_TRUE(screen.textAt(16, 13, "unable to sign on.  Press any key to continue"));
  EXPECT_EQ(fake.names(), std::vector<std::string>{"SignOn"});
  EXPECT_EQ(rec().channel, 5);  // not put back on this path
  ExpectEveryKeyTaken();
}

TEST_F(ScanRunScreen, AFileThatCannotBeCreatedMeansNoScanning) {
  Run(path("no/such/dir/data.txt"));
  EXPECT_EQ(atStop(20, 18, 26), "Could not open/create file");
  EXPECT_EQ(fake.count("StartScanning"), 0);
  EXPECT_EQ(fake.count("GetOneScan"), 0);
  EXPECT_EQ(fake.count("StopScanning"), 1);
  EXPECT_TRUE(screen.contains("SCANNING  CONFIGURATION"));
}

TEST_F(ScanRunScreen, AScanListLargerThanTheScanBufferIsNotStarted) {
  // Sixteen codes on every channel: 96 points of 3 bytes, 290 bytes a scan.
  for (int16_t& entry : rec().scanTable) entry = 0x0F;
  screen.typeLine("");
  screen.pushKey(' ');
  ScanRun(0, 0);
  EXPECT_EQ(atStop(2, 18, 74),
            "Too many data points: a scan of 290 bytes does not fit the 128-byte buffer");
  EXPECT_EQ(fake.count("StartScanning"), 0);
  EXPECT_EQ(fake.count("StopScanning"), 1);

  // The largest list that fits still runs: 42 points of 3 bytes and markers.
  screen.reset();
  fake.calls.clear();
  const int16_t fits[6] = {0x0F, 0x0F, 0x09, kSkipped, kSkipped, kSkipped};
  for (int i = 0; i < 6; ++i) rec().scanTable[i] = fits[i];
  Run("");
  EXPECT_EQ(fake.count("StartScanning"), 1);
  EXPECT_EQ(fake.count("GetOneScan"), 2);
}

TEST(ScanFileName, IsReadWholeAndRefusedPastTheLongestName) {
  ScreenModel& screen = ScreenModel::instance();
  screen.reset();
  const std::string longest(kScanFileNameMax, 'n');
  screen.typeLine(longest);
  screen.typeLine(std::string(kScanFileNameMax + 1, 'x'));
  screen.typeLine("  spaced name.txt  ");
  screen.typeLine("");

  std::string name;
  EXPECT_EQ(ReadScanFileName(&name), FileNameAnswer::Name);
  EXPECT_EQ(name, longest);
  EXPECT_EQ(ReadScanFileName(&name), FileNameAnswer::TooLong);
  EXPECT_EQ(ReadScanFileName(&name), FileNameAnswer::Name);
  EXPECT_EQ(name, "  spaced name.txt  ");
  EXPECT_EQ(ReadScanFileName(&name), FileNameAnswer::None);
  EXPECT_EQ(ReadScanFileName(&name), FileNameAnswer::None);  // end of input
}

}  // namespace
}  // namespace tov
