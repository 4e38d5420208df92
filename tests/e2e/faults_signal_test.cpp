// tovcon and the signals of a terminal: suspend and resume, a new size, and
// an end by a signal in the middle of a scan run or in polled mode:
// every scan it had shown is in the data file as a complete line (after
// SIGKILL at most the line being written is cut short). After SIGTERM or
// Ctrl-C the converter has been told to stop (StopScanning, then CloseDevice
// on the open port: two stop packets in a run, one in polled mode), the
// program exits with 128 + signal and the terminal is back in its normal
// settings.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "process_end.h"
#include "tmux_session.h"

namespace tov::test {
namespace {

const std::string kBin = TOV_BIN_DIR;
const double kInputs[6] = {100.0, -250.5, 1234.567, 0.0, 4000.25, -4999.0};

std::string Settings() {
  // 0.5 s scans over channels 0..5, code 0 each, 200 Hz, 24-bit bipolar.
  return "1\n1024\n0\n0\n0.500000\n6\n1\n1\n0\n0\n0\n0\n0\n0\n0\n0\n0\n3\n1\n2\n1\n"
         "200.000000\n0\n0\n0\n1\n";
}

// The tovcon process working in dir (its pid), or -1.
pid_t TovconIn(const std::string& dir) {
  char want[PATH_MAX];
  if (!realpath(dir.c_str(), want)) return -1;
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    const std::string base = std::string("/proc/") + e->d_name;
    char cwd[PATH_MAX];
    const ssize_t n = readlink((base + "/cwd").c_str(), cwd, sizeof cwd - 1);
    if (n <= 0) continue;
    cwd[n] = '\0';
    char exe[PATH_MAX];
    const ssize_t m = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
    if (m <= 0) continue;
    exe[m] = '\0';
    const std::string exePath(exe);
    if (std::string(cwd) == want && exePath.size() >= 7 &&
        exePath.compare(exePath.size() - 7, 7, "/tovcon") == 0)
      found = pid;
  }
  closedir(proc);
  return found;
}

// A complete line: six "%9.3lf  " fields with the simulator's inputs.
bool CompleteScanLine(const std::string& line) {
  static const std::regex field(R"( *-?\d+\.\d{3}  )");
  if (line.size() != 66) return false;
  for (int ch = 0; ch < 6; ++ch) {
    const std::string text = line.substr(ch * 11, 11);
    if (!std::regex_match(text, field)) return false;
    if (std::abs(std::stod(text) - kInputs[ch]) > 0.002) return false;
  }
  return true;
}

struct Stop {
  const char* how;  // "SIGTERM", "SIGKILL" or "Ctrl-C"
  bool polled;      // in polled mode rather than a scan run
};

class SignalDuringScan : public ::testing::TestWithParam<Stop> {
 protected:
  // tovcon in a shell that outlives it and records the terminal settings.
  void StartProgram() {
    dir.write("tovset.cfg", Settings());
    std::vector<std::string> args = {"--noise", "0", "--report", dir.file("report.txt")};
    for (int ch = 0; ch < 6; ++ch) {
      args.push_back("--input");
      args.push_back(std::to_string(ch) + "=" + std::to_string(kInputs[ch]));
    }
    sim = std::make_unique<Simulator>(kBin, dir.path(), std::vector<int>{1}, args);
    ASSERT_TRUE(sim->ready());
    tovcon = std::make_unique<TmuxSession>(
        "sh -c \"trap '' INT; " + kBin +
            "/tovcon; echo status \\$? > status.txt; stty -a > stty.txt; echo done; sleep 60\"",
        dir.path());
    // The start-up notice waits for a key; Enter at the main menu only redraws it.
    bool menu = false;
    for (int tries = 0; tries < 50 && !menu; ++tries) {
      menu = tovcon->screen().find("Main Menu") != std::string::npos;
      if (!menu) {
        tovcon->sendKeys({"Enter"});
        menu = tovcon->waitForText("Main Menu", 300);
      }
    }
    ASSERT_TRUE(menu) << tovcon->screen();
  }

  void StartScanRun() {
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    tovcon->sendKeys({"5"});
    ASSERT_TRUE(tovcon->waitForTextAt(27, 0, "SCANNING  CONFIGURATION"));
    tovcon->sendKeys({"Enter"});
    ASSERT_TRUE(tovcon->waitForTextAt(20, 12, "Enter name for disk file,")) << tovcon->screen();
    tovcon->typeText("run.txt");
    tovcon->sendKeys({"Enter"});
    ASSERT_TRUE(tovcon->waitForTextAt(2, 24, "SCAN # 4", 30000)) << tovcon->screen();
  }

  // The scan number on screen now.
  long ShownScan() {
    const std::string status = tovcon->text(2, 24, 20);
    long n = -1;
    std::sscanf(status.c_str(), "SCAN # %ld", &n);
    return n;
  }

  TempDir dir;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<TmuxSession> tovcon;
};

int StopPackets(const std::string& report) {
  int count = 0;
  for (size_t at = report.find("scan stop"); at != std::string::npos;
       at = report.find("scan stop", at + 1))
    ++count;
  return count;
}

TEST_P(SignalDuringScan, ShownScansAreCompleteLinesInTheFile) {
  const std::string how = GetParam().how;
  const bool polled = GetParam().polled;
  long shown = 0;
  if (polled) {
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    tovcon->sendKeys({"4"});
    ASSERT_TRUE(tovcon->waitForText("POLLED  MENU", 30000)) << tovcon->screen();
  } else {
    ASSERT_NO_FATAL_FAILURE(StartScanRun());
    // "SCAN # n" appears before scan n's values: scans before it are complete.
    shown = ShownScan();
    ASSERT_GE(shown, 4);
  }
  const pid_t pid = TovconIn(dir.path());
  ASSERT_GT(pid, 0);
  const int stopsBefore = StopPackets(dir.read("report.txt"));
  if (how == "SIGTERM") {
    ASSERT_EQ(kill(pid, SIGTERM), 0);
  } else if (how == "SIGKILL") {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
  }
  if (how == "Ctrl-C") tovcon->sendKeys({"C-c"});
  ASSERT_TRUE(tovcon->waitForText("done", 20000)) << tovcon->screen();
  const int signal = how == "SIGTERM" ? SIGTERM : how == "SIGKILL" ? SIGKILL : SIGINT;
  EXPECT_EQ(dir.read("status.txt"), "status " + std::to_string(128 + signal) + "\n");
  if (how != "SIGKILL") {
    const int stops = polled ? 1 : 2;
    EXPECT_TRUE(waitUntil([&] {
      return StopPackets(dir.read("report.txt")) >= stopsBefore + stops;
    })) << dir.read("report.txt");
  }
  if (!polled) {
    const std::string data = dir.read("run.txt");
    const std::vector<std::string> lines = linesOf(data);
    ASSERT_GE(long(lines.size()), shown - 1) << data;
    const bool cutAllowed = how == "SIGKILL";
    for (size_t i = 0; i < lines.size(); ++i) {
      const bool last = i + 1 == lines.size();
      if (last && cutAllowed && data.back() != '\n') continue;  // the line being written
      EXPECT_TRUE(CompleteScanLine(lines[i])) << "line " << i + 1 << ": " << lines[i];
    }
    if (!cutAllowed) {
      EXPECT_EQ(data.back(), '\n');
    }
  }

  if (how != "SIGKILL") {
    const std::string settings = dir.read("stty.txt");
    EXPECT_NE(settings.find(" icanon"), std::string::npos) << settings;
    EXPECT_EQ(settings.find("-icanon"), std::string::npos) << settings;
    EXPECT_EQ(settings.find("-echo "), std::string::npos) << settings;
    EXPECT_TRUE(tovcon->cursor().visible);
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringScan,
                         ::testing::Values(Stop{"SIGTERM", false}, Stop{"SIGKILL", false},
                                           Stop{"Ctrl-C", false}, Stop{"SIGTERM", true},
                                           Stop{"Ctrl-C", true}),
                         [](const auto& info) {
                           std::string name = info.param.how;
                           if (name == "Ctrl-C") name = "CtrlC";
                           return name + (info.param.polled ? "InPolledMode" : "");
                         });

// The terminal goes away under a scan run (its window closed, a remote
// session dropped): the program stops the converter and ends at once, and
// the scans it had shown stay in the file.
using HangUpDuringScan = SignalDuringScan;

TEST_F(HangUpDuringScan, TheProgramStopsTheConverterAndEnds) {
  ASSERT_NO_FATAL_FAILURE(StartScanRun());
  const long shown = ShownScan();
  const pid_t pid = TovconIn(dir.path());
  ASSERT_GT(pid, 0);
  const int stopsBefore = StopPackets(dir.read("report.txt"));
  ASSERT_TRUE(tovcon->hangUp());
  EXPECT_TRUE(waitUntil([&] { return !processAlive(pid); }));
  EXPECT_TRUE(waitUntil([&] { return StopPackets(dir.read("report.txt")) >= stopsBefore + 2; }))
      << dir.read("report.txt");
  const std::vector<std::string> lines = linesOf(dir.read("run.txt"));
  EXPECT_GE(long(lines.size()), shown - 1);
  for (const std::string& line : lines) EXPECT_TRUE(CompleteScanLine(line)) << line;
}

const char* kMenuSettings =
    "1\n512\n1\n2\n2.000000\n6\n1\n1\n0\n0\n0\n0\n0\n0\n0\n0\n0\n3\n1\n2\n1\n"
    "10.000000\n0\n0\n0\n1\n";

bool MenuIsWhole(const TmuxSession& tovcon) {
  return tovcon.waitForTextAt(22, 3, "MODEL K73 Data Acquisition System") &&
         tovcon.waitForTextAt(34, 5, "Main Menu") &&
         tovcon.waitForTextAt(18, 17, "Esc) Exit program");
}

// A terminal smaller than 80 x 25, at start-up or after a resize, shows one
// line with its size while the keys go on working; at 80 x 25 the screen is
// whole again.
TEST(TerminalSize, ATooSmallTerminalSaysSoAndTheScreenComesBackWhole) {
  TempDir dir;
  dir.write("tovset.cfg", kMenuSettings);
  TmuxSession tovcon(kBin + "/tovcon", dir.path(), 60, 20);
  ASSERT_TRUE(tovcon.started());
  // The line is wider than this terminal: it goes on at the start of the next row.
  const std::string small = "tovcon needs a terminal of at least 80 x 25; this one is 60";
  ASSERT_TRUE(tovcon.waitForTextAt(0, 0, small)) << tovcon.screen();
  EXPECT_EQ(tovcon.text(0, 1, 5), "x 20 ");
  tovcon.sendKeys({"Enter", "1"});  // past the notice, then the baud rate to 2400
  tovcon.resize(80, 25);
  ASSERT_TRUE(MenuIsWhole(tovcon)) << tovcon.screen();
  EXPECT_TRUE(tovcon.waitForText("1) Baud rate          2400")) << tovcon.screen();
  EXPECT_EQ(tovcon.screen().find("tovcon needs"), std::string::npos) << tovcon.screen();

  tovcon.resize(60, 20);
  ASSERT_TRUE(tovcon.waitForTextAt(0, 0, small)) << tovcon.screen();
  tovcon.resize(80, 25);
  ASSERT_TRUE(MenuIsWhole(tovcon)) << tovcon.screen();
  tovcon.sendKeys({"Escape", "n"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
}

// Ctrl-Z gives the terminal its own settings back before the program stops
// (the shell echoes what is typed); after `fg` the program reads single keys
// again and draws its screen anew.
TEST(Suspend, TheTerminalIsGivenBackAndTheScreenRedrawnOnResume) {
  TempDir dir;
  dir.write("tovset.cfg", kMenuSettings);
  TmuxSession shell("PS1='$ ' bash --norc --noprofile --noediting -i", dir.path());
  ASSERT_TRUE(shell.started());
  ASSERT_TRUE(shell.waitForText("$")) << shell.screen();
  shell.typeText(kBin + "/tovcon");
  shell.sendKeys({"Enter"});
  ASSERT_TRUE(shell.reachMainMenu()) << shell.screen();

  shell.sendKeys({"C-z"});
  ASSERT_TRUE(shell.waitForText("Stopped")) << shell.screen();
  shell.typeText("echo typed-at-the-shell");
  ASSERT_TRUE(shell.waitForText("$ echo typed-at-the-shell")) << shell.screen();  // echoed
  shell.sendKeys({"Enter"});
  shell.typeText("fg");
  shell.sendKeys({"Enter"});
  ASSERT_TRUE(MenuIsWhole(shell)) << shell.screen();
  EXPECT_EQ(shell.screen().find("Stopped"), std::string::npos) << shell.screen();
  shell.sendKeys({"1"});  // acts at once, without Enter
  EXPECT_TRUE(shell.waitForText("1) Baud rate          2400")) << shell.screen();
  shell.sendKeys({"Escape", "n"});
  EXPECT_TRUE(shell.waitForTextGone("Main Menu")) << shell.screen();
  // The shell ends as a shell does, rather than on a signal it ignores.
  shell.typeText("exit");
  shell.sendKeys({"Enter"});
  EXPECT_TRUE(shell.waitForExit(nullptr)) << shell.screen();
}

}  // namespace
}  // namespace tov::test
