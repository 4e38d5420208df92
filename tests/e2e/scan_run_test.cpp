// Scanning mode end to end: tovcon in a real terminal, the driver, and k73sim
// behind COM1, with the scan data file in a private directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tmux_session.h"

namespace tov::test {
namespace {

const std::string kBin = TOV_BIN_DIR;

// 24-bit bipolar words over +-5000 mV: one count is 0.0006 mV, and the file
// rounds to 0.001 mV.
constexpr double kTolerance = 0.002;

struct ScanSettings {
  double interval = 0.5;
  int remoteAvg = 1;
  int scanType = 1;
  int table[6] = {0, 0, 0, 0, 0, 0};
  int singleChanCode = 0;
  double sampleRate = 200.0;
};

// The 26 lines of the settings file with the given scan set-up.
std::string Configuration(const ScanSettings& s) {
  std::ostringstream cfg;
  cfg << "1\n1024\n0\n0\n"
      << std::to_string(s.interval) << "\n6\n"
      << s.remoteAvg << "\n"
      << s.scanType << "\n";
  for (int entry : s.table) cfg << entry << "\n";
  cfg << s.singleChanCode << "\n0\n0\n3\n1\n2\n1\n"
      << std::to_string(s.sampleRate) << "\n0\n0\n0\n1\n";
  return cfg.str();
}

// The values of one file line; empty when a field is not "%9.3lf  ".
std::vector<double> Fields(const std::string& line) {
  static const std::regex field(R"( *-?\d+\.\d{3}  )");
  std::vector<double> values;
  if (line.empty() || line.size() % 11 != 0) return {};
  for (size_t at = 0; at < line.size(); at += 11) {
    const std::string text = line.substr(at, 11);
    if (!std::regex_match(text, field)) return {};
    values.push_back(std::stod(text));
  }
  return values;
}

// Steady inputs, one per channel, on every control code; no noise.
const double kInputs[6] = {100.0, -250.5, 1234.567, 0.0, 4000.25, -4999.0};

class ScanEndToEnd : public ::testing::Test {
 protected:
  void Start(const ScanSettings& settings, std::vector<std::string> simArgs = {}) {
    dir.write("tovset.cfg", Configuration(settings));
    std::vector<std::string> args = {"--noise", "0", "--report", dir.file("report.txt")};
    for (int ch = 0; ch < 6; ++ch) {
      args.push_back("--input");
      args.push_back(std::to_string(ch) + "=" + std::to_string(kInputs[ch]));
    }
    // A test's own arguments come last, so that they override the inputs.
    args.insert(args.end(), simArgs.begin(), simArgs.end());
    simArgs = args;
    sim = std::make_unique<Simulator>(kBin, dir.path(), std::vector<int>{1}, simArgs);
    ASSERT_TRUE(sim->ready());
    tovcon = std::make_unique<TmuxSession>(kBin + "/tovcon", dir.path());
    ASSERT_TRUE(tovcon->started());
    ASSERT_TRUE(tovcon->reachMainMenu());
    tovcon->sendKeys({"5"});
    ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
  }

  // Enter on the configuration screen, then the file prompt's answer.
  void PerformScan(const std::string& fileAnswer) {
    tovcon->sendKeys({"Enter"});
    ASSERT_TRUE(tovcon->waitForTextAt(20, 12, "Enter name for disk file,"));
    if (!fileAnswer.empty()) tovcon->typeText(fileAnswer);
    tovcon->sendKeys({"Enter"});
    ASSERT_TRUE(tovcon->waitForText("Press any key to quit"));
  }

  void StopScan() {
    tovcon->sendKeys({"s"});
    ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
  }

  void LeaveToMainMenu() {
    tovcon->sendKeys({"Escape"});
    ASSERT_TRUE(tovcon->waitForText("Main Menu"));
  }

  // A packet or event the converter reported receiving.
  bool ReportHas(const std::string& line) {
    return waitUntil([&] { return dir.read("report.txt").find(line) != std::string::npos; });
  }

  TempDir dir;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<TmuxSession> tovcon;
};

TEST_F(ScanEndToEnd, NormalScansMatchTheInputsOnScreenAndInTheFile) {
  Start({});
  PerformScan("data.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 3"));
  EXPECT_EQ(tovcon->text(1, 0, 42), " CC    chan 0      chan 1      chan 2     ");
  for (int ch = 0; ch < 6; ++ch) {
    const std::string cell = tovcon->text(ch * 12 + 5, 2, 9);
    EXPECT_NEAR(std::stod(cell), kInputs[ch], kTolerance) << "channel " << ch;
    EXPECT_EQ(tovcon->text(ch * 12 + 5, 3, 9), std::string(9, ' '));  // code 1 is not scanned
  }
  StopScan();
  LeaveToMainMenu();

  const std::vector<std::string> lines = linesOf(dir.read("data.txt"));
  ASSERT_GE(lines.size(), 3u);
  for (const std::string& line : lines) {
    const std::vector<double> values = Fields(line);
    ASSERT_EQ(values.size(), 6u) << line;
    for (int ch = 0; ch < 6; ++ch) EXPECT_NEAR(values[ch], kInputs[ch], kTolerance) << line;
  }
}

TEST_F(ScanEndToEnd, SelfCalibrationScansCarryTheCalibrationValuesFirst) {
  ScanSettings settings;
  settings.scanType = 2;
  settings.interval = 1.0;
  // Channel 1 codes 0-2 and channel 4 code 0; the rest skipped.
  const int table[6] = {16, 0x02, 16, 16, 0x00, 16};
  std::copy(std::begin(table), std::end(table), settings.table);
  Start(settings);
  PerformScan("cal.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 2"));
  EXPECT_TRUE(tovcon->text(2, 22, 11) == "Offset cal ");
  EXPECT_TRUE(tovcon->text(27, 22, 15) == "Full scale cal ");
  EXPECT_NEAR(std::stod(tovcon->text(17, 2, 9)), kInputs[1], kTolerance);
  EXPECT_NEAR(std::stod(tovcon->text(17, 4, 9)), kInputs[1], kTolerance);
  EXPECT_NEAR(std::stod(tovcon->text(53, 2, 9)), kInputs[4], kTolerance);
  // The converter's zero and full-scale references, as the last scan read them.
  const double offsetCal = std::stod(tovcon->text(16, 22, 9));
  const double fullScaleCal = std::stod(tovcon->text(45, 22, 9));
  EXPECT_NEAR(offsetCal, 0.0, 1.0);
  EXPECT_NEAR(fullScaleCal, 4990.0, 1.0);
  StopScan();

  const std::vector<std::string> lines = linesOf(dir.read("cal.txt"));
  ASSERT_GE(lines.size(), 2u);
  for (const std::string& line : lines) {
    const std::vector<double> values = Fields(line);
    ASSERT_EQ(values.size(), 6u) << line;  // two calibration values, then four points
    EXPECT_NEAR(values[0], offsetCal, kTolerance);
    EXPECT_NEAR(values[1], fullScaleCal, kTolerance);
    EXPECT_NEAR(values[2], kInputs[1], kTolerance);
    EXPECT_NEAR(values[4], kInputs[1], kTolerance);
    EXPECT_NEAR(values[5], kInputs[4], kTolerance);
  }
}

TEST_F(ScanEndToEnd, ASingleChannelScanShowsItsOneCell) {
  ScanSettings settings;
  settings.scanType = 0;
  settings.singleChanCode = 2 * 16 + 7;
  Start(settings, {"--input", "2.7=321.5"});
  EXPECT_TRUE(tovcon->waitForTextAt(17, 20, "7) Scan type: Single Channel"));
  PerformScan("one.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 2"));
  EXPECT_NEAR(std::stod(tovcon->text(29, 9, 9)), 321.5, kTolerance);
  StopScan();

  const std::vector<std::string> lines = linesOf(dir.read("one.txt"));
  ASSERT_GE(lines.size(), 2u);
  for (const std::string& line : lines) {
    const std::vector<double> values = Fields(line);
    ASSERT_EQ(values.size(), 1u) << line;
    EXPECT_NEAR(values[0], 321.5, kTolerance);
  }
}

TEST_F(ScanEndToEnd, TwoRunsAppendToOneFile) {
  Start({});
  PerformScan("both.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 2"));
  StopScan();
  const std::string first = dir.read("both.txt");
  const size_t firstLines = linesOf(first).size();
  ASSERT_GE(firstLines, 2u);

  PerformScan("both.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 2"));
  StopScan();
  LeaveToMainMenu();

  const std::string both = dir.read("both.txt");
  EXPECT_EQ(both.compare(0, first.size(), first), 0);
  const std::vector<std::string> lines = linesOf(both);
  EXPECT_GE(lines.size(), firstLines + 2);
  for (const std::string& line : lines) EXPECT_EQ(Fields(line).size(), 6u) << line;
}

TEST_F(ScanEndToEnd, AnIntervalOutOfLimitsIsAskedForAgain) {
  ScanSettings settings;
  settings.interval = 0.01;
  Start(settings);
  tovcon->sendKeys({"Enter"});
  ASSERT_TRUE(tovcon->waitForTextAt(10, 14, "Scan time out of limits, press any key to continue"));
  tovcon->sendKeys({"Space"});
  ASSERT_TRUE(tovcon->waitForTextAt(10, 9, "Enter scan time "));
  const std::string limits = tovcon->text(26, 9, 40);
  EXPECT_TRUE(std::regex_search(limits, std::regex(R"(^ +\d+\.\d{4}  - +\d+\.\d{4}  seconds)")))
      << limits;
  tovcon->typeText("0.75");
  tovcon->sendKeys({"Enter"});
  // Accepted: the run begins with its file prompt.
  ASSERT_TRUE(tovcon->waitForTextAt(20, 12, "Enter name for disk file,"));
  tovcon->sendKeys({"Enter"});
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 1"));
  EXPECT_TRUE(tovcon->waitForText("Scan interval      0.750 secs"));
  StopScan();
  // The interval as the converter's timer keeps it: 2929 ticks of 1/3906.25 s.
  EXPECT_TRUE(tovcon->waitForTextAt(17, 18, "6) Scan Interval       0.7498 seconds"))
      << tovcon->screen();
}

TEST_F(ScanEndToEnd, TooMuchAveragingIsReducedBeforeTheRun) {
  ScanSettings settings;
  settings.remoteAvg = 8192;
  settings.sampleRate = 10.0;
  settings.interval = 3000.0;
  Start(settings);
  tovcon->sendKeys({"Enter"});
  // Printed at the cursor after the COM text of row 0, so it wraps onto row 1.
  ASSERT_TRUE(tovcon->waitForText("ed averaging to 4096- Press any key to continue"))
      << tovcon->screen();
  tovcon->sendKeys({"Space"});
  ASSERT_TRUE(tovcon->waitForTextAt(20, 12, "Enter name for disk file,"));
  tovcon->sendKeys({"Enter"});
  ASSERT_TRUE(tovcon->waitForText("Press any key to quit"));
  StopScan();
  LeaveToMainMenu();
}

TEST_F(ScanEndToEnd, AFileThatCannotBeCreatedStartsNoScan) {
  Start({});
  tovcon->sendKeys({"Enter"});
  ASSERT_TRUE(tovcon->waitForTextAt(20, 12, "Enter name for disk file,"));
  tovcon->typeText("no/such/dir/data.txt");
  tovcon->sendKeys({"Enter"});
  ASSERT_TRUE(tovcon->waitForTextAt(20, 18, "Could not open/create file"));
  ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
}

// Every line is handed to the system as it is written: what was shown stays
// in the file when the converter goes away or the program is interrupted.
TEST_F(ScanEndToEnd, ShownScansStayInTheFileWhenTheConverterVanishes) {
  Start({});
  PerformScan("gone.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 3"));
  sim.reset();
  const std::string shown = tovcon->text(2, 24, 12);
  const int scansShown = std::stoi(shown.substr(7));
  const std::vector<std::string> lines = linesOf(dir.read("gone.txt"));
  EXPECT_GE(static_cast<int>(lines.size()), scansShown);
  for (const std::string& line : lines) EXPECT_EQ(Fields(line).size(), 6u) << line;
  // A key pressed at once still ends the run, before the silence is reported.
  StopScan();
  LeaveToMainMenu();
}

TEST_F(ScanEndToEnd, ShownScansStayInTheFileWhenTheProgramIsInterrupted) {
  Start({});
  PerformScan("interrupted.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 3"));
  tovcon->sendKeys({"C-c"});
  int status = 0;
  ASSERT_TRUE(tovcon->waitForExit(&status));
  const std::vector<std::string> lines = linesOf(dir.read("interrupted.txt"));
  EXPECT_GE(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_EQ(Fields(line).size(), 6u) << line;
}

// A converter that misbehaves part-way through a run. The run says why it
// ended, waits for a key, sends the stop command and goes back to the
// configuration screen; the file holds exactly the scans that were shown.
struct ScanFault {
  const char* name;
  std::vector<std::string> simArgs;
  int scansShown;
  // From column 2 of row 18 on, one string per row; the last is the key prompt.
  std::vector<std::string> rows;
};

void PrintTo(const ScanFault& fault, std::ostream* out) {
  *out << fault.name;
}

class ScanFaultEndToEnd : public ScanEndToEnd, public ::testing::WithParamInterface<ScanFault> {};

// Long enough for the driver's time-out (interval + 2 s), twice, and its sign-on.
constexpr int kFailureWaitMs = 30000;

TEST_P(ScanFaultEndToEnd, TheRunEndsWithItsMessageAndTheStopCommand) {
  const ScanFault& fault = GetParam();
  Start({}, fault.simArgs);
  PerformScan("data.txt");
  const int lastRow = 18 + static_cast<int>(fault.rows.size()) - 1;
  ASSERT_TRUE(tovcon->waitForTextAt(0, lastRow, " press any key to continue", kFailureWaitMs))
      << tovcon->screen();
  for (size_t i = 0; i + 1 < fault.rows.size(); ++i) {
    const std::string& row = fault.rows[i];
    EXPECT_EQ(tovcon->text(2, 18 + static_cast<int>(i), static_cast<int>(row.size()) + 1),
              row + " ")
        << tovcon->screen();
  }
  const std::string status = tovcon->text(2, 24, 12);
  if (fault.scansShown == 0) {
    EXPECT_EQ(status.substr(0, 4), "Wait") << tovcon->screen();
  } else {
    EXPECT_EQ(status, "SCAN # " + std::to_string(fault.scansShown) + "    ") << tovcon->screen();
  }
  EXPECT_EQ(tovcon->text(0, lastRow + 1, 80), std::string(80, ' '));

  tovcon->sendKeys({"Space"});
  ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION", kFailureWaitMs));
  EXPECT_TRUE(ReportHas("scan stop")) << dir.read("report.txt");
  const std::vector<std::string> lines = linesOf(dir.read("data.txt"));
  EXPECT_EQ(static_cast<int>(lines.size()), fault.scansShown);
  for (const std::string& line : lines) EXPECT_EQ(Fields(line).size(), 6u) << line;
  LeaveToMainMenu();
}

INSTANTIATE_TEST_SUITE_P(
    Misbehaviours, ScanFaultEndToEnd,
    ::testing::Values(ScanFault{"BadStartMarker",
                                {"--misbehave", "bad-start-marker"},
                                0,
                                {"Start scan framing failure", "", " press any key to continue"}},
                      ScanFault{"ScanCutShort",
                                {"--misbehave", "cut-scan=7"},
                                0,
                                {"not enough chars, possible communications error",
                                 " press any key to continue"}},
                      ScanFault{"StreamStopsBetweenScans",
                                {"--misbehave", "stop-after-scans=2"},
                                2,
                                {"not enough chars, possible communications error",
                                 " press any key to continue"}},
                      ScanFault{
                          "StreamStopsAfterTheRateByte",
                          {"--misbehave", "stop-after-rate-byte=2"},
                          2,
                          {"scan rate too fast for this scan type", " press any key to continue"}}),
    [](const ::testing::TestParamInfo<ScanFault>& info) { return std::string(info.param.name); });

// The end marker is tested after the values are shown and filed: the message
// follows the last cell printed, and that scan's line stays in the file.
TEST_F(ScanEndToEnd, AMissingEndMarkerIsReportedAfterTheScanIsFiled) {
  ScanSettings settings;
  const int table[6] = {0x01, 16, 16, 16, 16, 16};  // channel 0, codes 0-1
  std::copy(std::begin(table), std::end(table), settings.table);
  Start(settings, {"--misbehave", "bad-end-marker"});
  PerformScan("data.txt");
  ASSERT_TRUE(tovcon->waitForTextAt(14, 3, "End scan framing failure ")) << tovcon->screen();
  EXPECT_EQ(tovcon->text(2, 24, 12), "SCAN # 1    ");
  EXPECT_NEAR(std::stod(tovcon->text(5, 3, 9)), kInputs[0], kTolerance);
  const std::vector<std::string> filed = linesOf(dir.read("data.txt"));
  ASSERT_EQ(filed.size(), 1u);
  EXPECT_EQ(Fields(filed[0]).size(), 2u) << filed[0];

  tovcon->sendKeys({"Space"});
  ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
  EXPECT_TRUE(ReportHas("scan stop")) << dir.read("report.txt");
  EXPECT_EQ(linesOf(dir.read("data.txt")).size(), 1u);
}

TEST_F(ScanEndToEnd, AKeyBeforeTheFirstScanStopsWithNothingFiled) {
  ScanSettings settings;
  settings.interval = 10.0;
  // The first scan is due once measured: slow conversions (4 of each point at
  // 10 per second, about 2.4 s) leave a loaded machine time for the key.
  settings.remoteAvg = 4;
  settings.sampleRate = 10.0;
  Start(settings);
  PerformScan("data.txt");
  EXPECT_EQ(tovcon->text(2, 24, 4), "Wait");
  tovcon->sendKeys({"q"});
  ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
  EXPECT_TRUE(ReportHas("scan start normal")) << dir.read("report.txt");
  EXPECT_TRUE(ReportHas("scan stop")) << dir.read("report.txt");
  EXPECT_TRUE(dir.exists("data.txt"));
  EXPECT_EQ(dir.read("data.txt"), "");
}

}  // namespace
}  // namespace tov::test
