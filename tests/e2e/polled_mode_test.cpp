// Polled mode end to end: tovcon in a real terminal, the driver, and k73sim
// behind COM1 (and COM2) in a private directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tmux_session.h"

namespace tov::test {
namespace {

const std::string kBin = TOV_BIN_DIR;

// Every default of the configuration file, so that start-up asks nothing.
std::string DefaultConfiguration(int localAveraging, double sampleRate) {
  std::string cfg = "1\n1024\n0\n0\n2.000000\n6\n1\n1\n";
  for (int i = 0; i < 7; ++i) cfg += "0\n";  // scan table and single channel code
  cfg += "0\n0\n3\n1\n2\n1\n";               // channel ... gain
  cfg += std::to_string(sampleRate) + "\n0\n0\n0\n" + std::to_string(localAveraging) + "\n";
  return cfg;
}

bool IsReadingLine(const std::string& text) {
  static const std::regex reading(R"(^ {3} *-?\d+ {5} *-?\d+\.\d{3}$)");
  return std::regex_match(text, reading);
}

class PolledEndToEnd : public ::testing::Test {
 protected:
  void Start(const std::vector<int>& ports, int localAveraging = 1, double sampleRate = 200.0) {
    dir.write("tovset.cfg", DefaultConfiguration(localAveraging, sampleRate));
    sim = std::make_unique<Simulator>(kBin, dir.path(), ports,
                                      std::vector<std::string>{"--report", dir.file("report.txt")});
    ASSERT_TRUE(sim->ready());
    tovcon = std::make_unique<TmuxSession>(kBin + "/tovcon", dir.path());
    ASSERT_TRUE(tovcon->started());
    ASSERT_TRUE(tovcon->reachMainMenu());
  }

  void EnterPolledMode(const std::string& port = "COM1") {
    tovcon->sendKeys({"4"});
    ASSERT_TRUE(tovcon->waitForTextAt(10, 0, "POLLED  MENU"));
    ASSERT_TRUE(tovcon->waitForTextAt(43, 10, "X) Port=" + port));
    ASSERT_TRUE(waitUntil([this] { return IsReadingLine(tovcon->text(1, 13, 26)); }));
  }

  bool ReportHas(const std::string& line) {
    return waitUntil([&] { return dir.read("report.txt").find(line) != std::string::npos; });
  }

  bool AllRowsHaveReadings() {
    for (int row = 13; row <= 21; ++row)
      if (!IsReadingLine(tovcon->text(1, row, 26))) return false;
    return true;
  }

  TempDir dir;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<TmuxSession> tovcon;
};

TEST_F(PolledEndToEnd, ReadingsFillTheColumnAndTheStatisticsFollow) {
  Start({1});
  EnterPolledMode();
  ASSERT_TRUE(waitUntil([this] { return AllRowsHaveReadings(); }));
  ASSERT_TRUE(tovcon->waitForTextAt(40, 13, "Maximum "));
  EXPECT_TRUE(tovcon->waitForTextAt(40, 19, "Effective Resolution "));
  // Readings keep coming: row 13 is written again on the next pass.
  const std::string first = tovcon->text(1, 13, 26);
  EXPECT_TRUE(waitUntil([&] { return tovcon->text(1, 13, 26) != first; }));
  // After 40 readings the noise block is published.
  EXPECT_TRUE(waitUntil([this] { return tovcon->text(62, 19, 5) != "  0.0"; }, 30000));
  EXPECT_TRUE(ReportHas("\nconversion\n"));

  tovcon->sendKeys({"Escape"});
  EXPECT_TRUE(tovcon->waitForText("Main Menu"));
}

TEST_F(PolledEndToEnd, CommandKeysChangeTheScreenAndTheConverter) {
  Start({1});
  EnterPolledMode();

  tovcon->sendKeys({"t"});  // 400 Hz -> 4 Hz
  EXPECT_TRUE(tovcon->waitForTextAt(5, 6, "T) filTer               4 hz"));
  EXPECT_TRUE(ReportHas("\nfilter 0\n"));

  tovcon->sendKeys({"c"});
  EXPECT_TRUE(tovcon->waitForText("Enter channel"));
  tovcon->typeText("93");
  EXPECT_TRUE(tovcon->waitForTextAt(5, 2, "C) A/D input Channel    3"));
  EXPECT_TRUE(ReportHas("\nchannel 0x30\n"));

  tovcon->sendKeys({"u"});
  EXPECT_TRUE(tovcon->waitForText("Enter Output Code"));
  tovcon->typeText("170");
  tovcon->sendKeys({"Enter"});
  EXPECT_TRUE(tovcon->waitForTextAt(43, 3, "U) digital oUtput   170  "));
  EXPECT_TRUE(ReportHas("\ndigout 170\n"));

  tovcon->sendKeys({"g"});
  EXPECT_TRUE(tovcon->waitForTextAt(5, 7, "G) Gain factor          2"));
  EXPECT_TRUE(ReportHas(" gain 2 "));
  // Readings go on after the commands.
  tovcon->sendKeys({"Space"});
  EXPECT_TRUE(waitUntil([this] { return AllRowsHaveReadings(); }));

  tovcon->sendKeys({"Escape"});
  EXPECT_TRUE(tovcon->waitForText("Main Menu"));
}

TEST_F(PolledEndToEnd, SleepReturnsToTheMainMenuWithTheSleepLine) {
  Start({1});
  EnterPolledMode();
  tovcon->sendKeys({"z"});
  EXPECT_TRUE(tovcon->waitForText("Main Menu"));
  EXPECT_TRUE(tovcon->waitForTextAt(20, 19, "Model K73 is in sleep mode"));
  EXPECT_TRUE(ReportHas("\nasleep\n"));
  // Polled mode again signs the converter on and wakes it.
  tovcon->sendKeys({"4"});
  EXPECT_TRUE(tovcon->waitForTextAt(10, 0, "POLLED  MENU"));
  EXPECT_TRUE(waitUntil([this] { return IsReadingLine(tovcon->text(1, 13, 26)); }));
}

TEST_F(PolledEndToEnd, PortChangeMovesToASecondConverter) {
  Start({1, 2});
  EnterPolledMode();
  tovcon->sendKeys({"x"});
  ASSERT_TRUE(tovcon->waitForText("Enter COM(1-4)"));
  tovcon->typeText("COM2");
  tovcon->sendKeys({"Enter"});
  tovcon->typeText("2");
  tovcon->sendKeys({"Enter"});
  EXPECT_TRUE(tovcon->waitForTextAt(43, 10, "X) Port=COM2  "));
  // The new converter answers: the readings go on with it.
  const std::string before = tovcon->text(1, 13, 26) + tovcon->text(1, 14, 26);
  EXPECT_TRUE(waitUntil([&] { return tovcon->text(1, 13, 26) + tovcon->text(1, 14, 26) != before; },
                        20000));

  // Back to COM1, signed on already: no sign-on screen this time.
  tovcon->sendKeys({"x"});
  ASSERT_TRUE(tovcon->waitForText("Enter COM(1-4)"));
  tovcon->typeText("1");
  tovcon->sendKeys({"Enter"});
  EXPECT_TRUE(tovcon->waitForTextAt(43, 10, "X) Port=COM1  "));
  tovcon->sendKeys({"Escape"});
  EXPECT_TRUE(tovcon->waitForText("Main Menu"));
}

TEST_F(PolledEndToEnd, ConverterThatStopsAnsweringEndsPolledModeOnEsc) {
  Start({1});
  EnterPolledMode();
  ASSERT_EQ(::kill(sim->pid(), SIGKILL), 0);
  // The driver gives up after its reply time-out (2 s at this rate).
  ASSERT_TRUE(
      tovcon->waitForTextAt(1, 22, "get conversion failed, press any key to continue", 20000));
  EXPECT_TRUE(tovcon->waitForTextAt(0, 23, "       1       "));
  tovcon->sendKeys({"q"});  // only ESC goes on
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(tovcon->screen().find("get conversion failed"), std::string::npos);
  tovcon->sendKeys({"Escape"});
  EXPECT_TRUE(tovcon->waitForText("Main Menu"));
}

}  // namespace
}  // namespace tov::test
