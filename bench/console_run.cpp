// A scan run through the console program: tovcon in an 80 x 25 tmux pane,
// driven by keys, against k73sim behind COM1.
#include <limits.h>
#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>

#include "measure.h"
#include "runs.h"
#include "table.h"
#include "tmux_session.h"

namespace bench {

namespace {

using tov::test::Simulator;
using tov::test::TempDir;
using tov::test::TmuxSession;

// The 26 lines of tovset.cfg for the benchmark's six-channel scan.
std::string configuration(double intervalS) {
  const DeviceRecord r = benchRecord();
  std::ostringstream cfg;
  cfg.precision(9);
  cfg << r.outQueueSize << "\n"
      << r.inQueueSize << "\n"
      << r.baudIndex << "\n0\n"
      << std::fixed << intervalS << "\n"
      << r.pointsPerScan << "\n"
      << r.remoteAvg << "\n"
      << r.scanType << "\n";
  for (int entry : r.scanTable) cfg << entry << "\n";
  cfg << "0\n0\n0\n"
      << r.bytesPerConversion << "\n"
      << r.bipolar << "\n"
      << r.filter << "\n"
      << r.gain << "\n"
      << r.sampleRate << "\n0\n0\n0\n1\n";
  return cfg.str();
}

// The scan number shown on the status row, or -1.
long scanNumber(const TmuxSession& tovcon) {
  static const std::regex number(R"(SCAN # (\d+))");
  std::smatch m;
  const std::string row = tovcon.text(2, 24, 20);
  return std::regex_search(row, m, number) ? std::stol(m[1]) : -1;
}

// Waits until the scan number moves past `after`; its time and value.
bool nextScanNumber(const TmuxSession& tovcon, long after, double* when, long* value) {
  const double giveUp = nowS() + 10;
  while (nowS() < giveUp) {
    const long n = scanNumber(tovcon);
    if (n > after) {
      *when = nowS();
      *value = n;
      return true;
    }
    sleepS(0.002);
  }
  return false;
}

// File lines that are not six values equal to the inputs.
long wrongLines(const std::string& text, long* lines) {
  std::istringstream in(text);
  long wrong = 0;
  *lines = 0;
  for (std::string line; std::getline(in, line);) {
    ++*lines;
    std::istringstream fields(line);
    int ch = 0;
    bool good = true;
    for (double v; fields >> v; ++ch) {
      if (ch >= 6 || std::fabs(v - kInputsMv[ch]) > 0.01) good = false;
    }
    if (!good || ch != 6) ++wrong;
  }
  return wrong;
}

ConsoleResult fail(ConsoleResult r, const std::string& why) {
  r.problem = why;
  return r;
}

}  // namespace

ConsoleResult runConsoleScan(const std::string& binDir, double intervalS, double seconds) {
  ConsoleResult result;
  result.intervalS = intervalS;
  TempDir dir;
  dir.write("tovset.cfg", configuration(intervalS));
  std::vector<std::string> simArgs{"--noise", "0"};
  for (int ch = 0; ch < 6; ++ch) {
    simArgs.push_back("--input");
    simArgs.push_back(std::to_string(ch) + "=" + fixed(kInputsMv[ch], 3));
  }
  Simulator sim(binDir, dir.path(), {1}, simArgs);
  if (!sim.ready()) return fail(result, "k73sim did not start");
  TmuxSession tovcon(binDir + "/tovcon", dir.path());
  if (!tovcon.started()) return fail(result, "tmux did not start");

  // The start-up notice waits for a key; Enter at the main menu only redraws.
  const double giveUp = nowS() + 10;
  while (!tovcon.waitForText("Main Menu", 300)) {
    if (nowS() > giveUp) return fail(result, "no main menu");
    tovcon.sendKeys({"Enter"});
  }
  tovcon.sendKeys({"5"});
  if (!tovcon.waitForTextAt(27, 0, "SCANNING  CONFIGURATION"))
    return fail(result, "no scan screen");
  tovcon.sendKeys({"Enter"});
  if (!tovcon.waitForTextAt(20, 12, "Enter name for disk file,", 20000)) {
    return fail(result, "no file prompt: " + tovcon.screen());
  }
  tovcon.typeText("scans.txt");
  tovcon.sendKeys({"Enter"});

  char real[PATH_MAX];
  const std::string cwd = realpath(dir.path().c_str(), real) ? real : dir.path();
  const pid_t pid = findProcess("tovcon", cwd);
  if (pid < 0) return fail(result, "tovcon's process not found");

  double t0 = 0, t1 = 0;
  long n0 = 0, n1 = 0;
  if (!nextScanNumber(tovcon, 0, &t0, &n0)) return fail(result, "no scans: " + tovcon.screen());
  ProcessCpuMeter cpu(pid);
  sleepS(seconds);
  const long shown = scanNumber(tovcon);
  if (!nextScanNumber(tovcon, shown, &t1, &n1)) return fail(result, "scans stopped");
  cpu.stop();
  result.peakResidentKiB = peakResidentKiB(pid);
  result.cpuShare = cpu.share();
  result.scansOnScreen = n1;
  result.perSecond = double(n1 - n0) / (t1 - t0);

  tovcon.sendKeys({"s"});
  if (!tovcon.waitForTextAt(27, 0, "SCANNING  CONFIGURATION")) return fail(result, "did not stop");
  result.wrongLines = wrongLines(dir.read("scans.txt"), &result.fileLines);
  result.ok = true;
  return result;
}

}  // namespace bench
