// k73log against a paced k73sim: one channel at the shortest interval the
// converter accepts (the most scans a second), logged to a csv file that the
// bench reads back as it grows.
#include "logger_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "measure.h"
#include "sim_process.h"

namespace bench {

namespace {

constexpr double kRunS = 30;
constexpr long kShortRunScans = 100;
constexpr long kSoakScans = 10000;
constexpr double kRateShare = 0.999;
constexpr double kCpuShare = 0.005;
constexpr long kGrowthLimitKiB = 64;

struct CsvRow {
  double utcS = 0;  // seconds within the day are enough for differences
  double tS = 0;
};

// The rows of the csv so far; false when a line is not a scan row.
bool readRows(std::vector<CsvRow>* rows, long* gapMarks) {
  std::ifstream in("bench.csv");
  std::string line;
  rows->clear();
  *gapMarks = 0;
  std::getline(in, line);  // the column row
  while (std::getline(in, line)) {
    if (line.rfind("#", 0) == 0) {
      ++*gapMarks;
      continue;
    }
    int h = 0, m = 0;
    double s = 0, t = 0;
    if (std::sscanf(line.c_str(), "%*d-%*d-%*dT%d:%d:%lfZ,%lf", &h, &m, &s, &t) != 4) return false;
    rows->push_back({h * 3600.0 + m * 60 + s, t});
  }
  return true;
}

long residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

pid_t startLogger(const std::string& binDir) {
  const std::string program = binDir + "/k73log";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open("/dev/null", O_WRONLY);
    const int err = open("k73log.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 0), dup2(out, 1), dup2(err, 2);
    execl(program.c_str(), program.c_str(), "--channels", "0", "--rate", "1027", "-o", "bench.csv",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

long lineCount() {
  std::ifstream in("bench.csv");
  long n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

}  // namespace

void addLoggerRows(Table& t, const std::string& binDir, bool soak) {
  k73test::SimProcess sim(binDir + "/k73sim", {"--quiet"});
  if (!sim.start()) {
    t.add({"Scans/s through k73log", "k73sim did not start", "", "", "", Verdict::NotMeasured});
    return;
  }
  const pid_t pid = startLogger(binDir);
  // Scanning starts after the sign-on and calibration: time from the first rows.
  const double giveUp = nowS() + 30;
  while (lineCount() < 3 && nowS() < giveUp) sleepS(0.1);
  ProcessCpuMeter cpu(pid);
  const double start = nowS();
  long residentAtShortRun = -1, residentAtSoak = -1;
  for (;;) {
    const long scans = lineCount() - 1;
    if (residentAtShortRun < 0 && scans >= kShortRunScans) residentAtShortRun = residentKiB(pid);
    if (soak && scans >= kSoakScans) {
      residentAtSoak = residentKiB(pid);
      break;
    }
    if (!soak && nowS() - start >= kRunS) break;
    if (nowS() > giveUp + 3600) break;
    sleepS(0.2);
  }
  cpu.stop();
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);

  std::vector<CsvRow> rows;
  long gapMarks = 0;
  if (!readRows(&rows, &gapMarks) || rows.size() < 3) {
    t.add({"Scans/s through k73log", "no scans logged", "", "", "", Verdict::NotMeasured});
    return;
  }
  t.note(
      "k73log: one channel at 1027 conversions/s and the shortest interval the converter accepts, "
      "logged to csv for 30 s (BENCH_LONG=1: 10,000 scans); lost = gap marks and jumps in t_s; "
      "the rate is from the rows' host arrival times.");
  const double intervalS = rows[1].tS;
  // The converter's own count against the host's clock: every scan has the
  // next index, and the scans came at the timer's rate.
  long skipped = gapMarks;
  for (size_t i = 1; i < rows.size(); ++i) {
    if (rows[i].tS - rows[i - 1].tS > 1.5 * intervalS) ++skipped;
  }
  const double spanS = rows.back().utcS - rows.front().utcS;
  const double rate = spanS > 0 ? (rows.size() - 1) / spanS : 0;
  const double timerRate = 1 / intervalS;
  t.add({"Scans/s through k73log at the shortest interval (1 channel, paced)",
         fixed(rate, 3) + "/s (" + std::to_string(rows.size()) + " scans, " +
             std::to_string(skipped) + " lost)",
         "1/" + fixed(intervalS * 1000, 3) + " ms = " + fixed(timerRate, 3) + "/s",
         ratioText(rate, timerRate), ">= 0.999, none lost",
         rate >= kRateShare * timerRate && skipped == 0 && WIFEXITED(status) &&
                 WEXITSTATUS(status) == 0
             ? Verdict::Pass
             : Verdict::Fail});
  t.add({"CPU of k73log while logging paced", fixed(cpu.share() * 100, 2) + " %", "", "",
         "< 0.5 % of a core", cpu.share() < kCpuShare ? Verdict::Pass : Verdict::Fail});
  if (soak) {
    const long growth = residentAtSoak - residentAtShortRun;
    t.add(
        {"k73log resident memory after 10,000 scans vs after 100",
         std::to_string(residentAtSoak) + " KiB vs " + std::to_string(residentAtShortRun) + " KiB",
         "64 KiB growth", ratioText(double(growth), kGrowthLimitKiB), "growth <= 64 KiB",
         residentAtShortRun > 0 && residentAtSoak > 0 && growth <= kGrowthLimitKiB ? Verdict::Pass
                                                                                   : Verdict::Fail,
         false});
  } else if (residentAtShortRun > 0) {
    t.add({"k73log resident memory after 100 scans", std::to_string(residentAtShortRun) + " KiB",
           "", "", "BENCH_LONG=1: 10,000 scans", Verdict::Info, false});
  }
}

}  // namespace bench
