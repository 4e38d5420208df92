// One k73sim, reached two ways in turn: COM9 is its pseudo-terminal, COM1 a
// link to rfc2217://127.0.0.1:PORT where ser2net serves that same terminal.
// ser2net opens the terminal only while a client is connected, so the two
// never hold it at once.
#include "remote_runs.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <vector>

#include "measure.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "tmux_session.h"
#include "tovscan.h"

namespace bench {

namespace {

constexpr int kRemoteDevice = 0;  // COM1
constexpr int kLocalDevice = 8;   // COM9
constexpr int kSignOns = 3;
constexpr double kToleranceMv = 0.01;

struct Figures {
  double signOnS = 0;
  double polledPerS = 0;
  long polledBad = 0;
};

struct PacedScans {
  long scans = 0, bad = 0, missing = 0;
  int lastError = 0;
  double perSecond = 0, timerRate = 0, cpuShare = 0;
};

DeviceRecord recordOn(int device) {
  DeviceRecord rec = benchRecord();
  rec.deviceIndex = static_cast<int16_t>(device);
  return rec;
}

Figures signOnsAndPolled(Driver& drv, int device, double polledS) {
  Figures f;
  DeviceRecord rec = recordOn(device);
  std::vector<double> times;
  for (int i = 0; i < kSignOns; ++i) {
    CpuMeter meter;
    const bool ok = drv.SignOn(&rec) == 1;
    meter.stop();
    if (ok) times.push_back(meter.wallS());
  }
  if (times.size() == kSignOns) f.signOnS = quantile(times, 0.5);
  if (times.empty()) return f;
  long good = 0;
  CpuMeter meter;
  for (const double end = nowS() + polledS; nowS() < end;) {
    if (drv.GetConversion(&rec) == 1 && std::fabs(rec.millivolts - kInputsMv[0]) <= kToleranceMv)
      ++good;
    else
      ++f.polledBad;
  }
  meter.stop();
  drv.CloseDevice(&rec);
  f.polledPerS = good / meter.wallS();
  return f;
}

PacedScans pacedScans(Driver& drv, int device, double seconds) {
  PacedScans r;
  DeviceRecord rec = recordOn(device);
  double longest = 0, shortest = 0;
  drv.CheckScanTime(&rec, &longest, &shortest);
  rec.scanInterval = shortest;
  if (drv.CheckScanTime(&rec, &longest, &shortest) != 1 || drv.SignOn(&rec) != 1) return r;
  r.timerRate = 1 / tovTimerInterval(&rec);  // as the timer keeps it, not as snapped
  if (drv.StartScanning(&rec) != 1) return r;
  CpuMeter meter;
  double first = 0, last = 0;
  for (const double end = nowS() + seconds; nowS() < end;) {
    if (drv.GetOneScan(&rec) != 1) {
      r.lastError = rec.lastError;
      break;
    }
    last = nowS();
    if (r.scans++ == 0) first = last;
    for (int i = 0; i < rec.pointsPerScan; ++i) {
      drv.Gconv(&rec);
      if (std::fabs(rec.millivolts - kInputsMv[i % 6]) > kToleranceMv) ++r.bad;
    }
    drv.RemFromBuffer(&rec, TOV_SCAN_BUFFER_SIZE);
  }
  meter.stop();
  drv.StopScanning(&rec);
  drv.CloseDevice(&rec);
  if (r.scans > 1) {
    r.perSecond = (r.scans - 1) / (last - first);
    const long sent = std::lround((last - first) * r.timerRate) + 1;
    r.missing = sent > r.scans ? sent - r.scans : 0;
  }
  r.cpuShare = meter.share();
  return r;
}

Verdict verdictOf(bool pass) {
  return pass ? Verdict::Pass : Verdict::Fail;
}

std::string percentText(double share) {
  return fixed(share * 100, 2) + " %";
}

// How long each client is watched once the server has gone: inside its
// deadline, the 10 s interval plus 2 s.
constexpr double kGoneWatchS = 8;

bool fileHasText(const char* path) {
  std::ifstream in(path);
  return in.peek() != std::ifstream::traits_type::eof();
}

// k73log logging COM1 at --interval 10: its share of a core after the server
// went away, or -1 when it never started scanning.
double loggerCpuWhileGone(k73test::Ser2netProcess& server) {
  const std::string program = k73test::binPath("k73log");
  unlink("gone.csv");
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    execl(program.c_str(), program.c_str(), "--port", "COM1", "--channels", "0", "--interval", "10",
          "-o", "gone.csv", static_cast<char*>(nullptr));
    _exit(127);
  }
  const double giveUp = nowS() + 30;
  while (!fileHasText("gone.csv") && nowS() < giveUp) sleepS(0.1);
  double share = -1;
  if (fileHasText("gone.csv")) {
    sleepS(3);  // calibrated and scanning, the first scan 10 s away
    server.kill();
    sleepS(0.3);
    ProcessCpuMeter cpu(pid);
    sleepS(kGoneWatchS);
    cpu.stop();
    share = cpu.share();
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return share;
}

// tovcon's scan run on COM1 at a 10 s interval, no file: the same.
double consoleCpuWhileGone(k73test::Ser2netProcess& server) {
  std::string cfg = "1\n1024\n0\n0\n10.000000\n1\n1\n1\n";
  for (int i = 0; i < 9; ++i) cfg += "0\n";
  cfg += "3\n1\n2\n1\n200.000000\n0\n0\n0\n1\n";
  std::ofstream("tovset.cfg") << cfg;
  char here[PATH_MAX];
  if (!getcwd(here, sizeof here)) return -1;
  tov::test::TmuxSession tovcon(k73test::binPath("tovcon"), here);
  if (!tovcon.started() || !tovcon.reachMainMenu()) return -1;
  tovcon.sendKeys({"5"});
  if (!tovcon.waitForTextAt(27, 0, "SCANNING  CONFIGURATION")) return -1;
  tovcon.sendKeys({"Enter"});
  if (!tovcon.waitForTextAt(20, 12, "Enter name for disk file,", 20000)) return -1;
  tovcon.sendKeys({"Enter"});
  const pid_t pid = findProcess("tovcon", here);
  if (pid < 0 || !tovcon.waitForText("Press any key to quit", 20000)) return -1;
  server.kill();
  sleepS(0.3);
  ProcessCpuMeter cpu(pid);
  sleepS(kGoneWatchS);
  cpu.stop();
  return cpu.share();
}

void addGoneServerRow(Table& t, k73test::Ser2netProcess& server, const char* what) {
  std::fprintf(stderr, "k73bench: clients while the server is gone...\n");
  const double logger = loggerCpuWhileGone(server);  // the server is up from the rows before
  const double console = server.start() ? consoleCpuWhileGone(server) : -1;
  const std::string name =
      std::string(what) +
      ": CPU while the server is gone (k73log --interval 10; tovcon's scan run)";
  if (logger < 0 || console < 0) {
    t.add({name, logger < 0 ? "k73log did not start scanning" : "tovcon did not start scanning", "",
           "", "", Verdict::NotMeasured});
    return;
  }
  t.add({name, percentText(logger) + "; " + percentText(console), "", "", "< 0.5 % of a core each",
         verdictOf(logger < 0.005 && console < 0.005)});
}

}  // namespace

void addRemoteRows(Table& t, Driver& drv, double polledS, double scanS) {
  const char* what = "Remote port (ser2net, 127.0.0.1)";
  if (!k73test::ser2netInstalled()) {
    t.add({what, "ser2net is not installed", "", "", "", Verdict::Info});
    return;
  }
  std::vector<std::string> args{"--quiet", "--noise", "0"};
  for (int ch = 0; ch < 6; ++ch) {
    args.push_back("--input");
    args.push_back(std::to_string(ch) + ".0=" + fixed(kInputsMv[ch], 3));
  }
  k73test::SimProcess sim(k73test::binPath("k73sim"), args, kLocalDevice + 1);
  std::unique_ptr<k73test::Ser2netProcess> server;
  char device[256] = {};
  if (sim.start() && readlink("COM9", device, sizeof device - 1) > 0) {
    server = std::make_unique<k73test::Ser2netProcess>(device, sim.dir());
    if (!server->start() || symlink(server->url().c_str(), "COM1") != 0) server.reset();
  }
  if (!server) {
    t.add({what, "ser2net did not start", "", "", "", Verdict::NotMeasured});
    return;
  }
  std::fprintf(stderr, "k73bench: remote port against local...\n");
  t.note(
      "Remote port: one k73sim reached in turn through its pseudo-terminal (COM9) and through "
      "ser2net on 127.0.0.1 (COM1 -> rfc2217://, chardelay off); ratios are against the local "
      "port in this run.");
  const Figures local = signOnsAndPolled(drv, kLocalDevice, polledS);
  const Figures remote = signOnsAndPolled(drv, kRemoteDevice, polledS);
  const PacedScans scans = pacedScans(drv, kRemoteDevice, scanS);

  if (local.signOnS > 0 && remote.signOnS > 0) {
    t.add({std::string(what) + ": sign-on (median of 3)", fixed(remote.signOnS * 1000, 0) + " ms",
           "local " + fixed(local.signOnS * 1000, 0) + " ms",
           ratioText(remote.signOnS, local.signOnS), "<= 1.05 x local",
           verdictOf(remote.signOnS <= 1.05 * local.signOnS)});
  } else {
    t.add({std::string(what) + ": sign-on", "failed", "", "", "", Verdict::NotMeasured});
  }
  if (local.polledPerS > 0 && remote.polledPerS > 0) {
    t.add({std::string(what) + ": polled conversions/s",
           fixed(remote.polledPerS, 1) + "/s, " + std::to_string(remote.polledBad) + " failed",
           "local " + fixed(local.polledPerS, 1) + "/s",
           ratioText(remote.polledPerS, local.polledPerS), ">= 0.90 x local, none failed",
           verdictOf(remote.polledPerS >= 0.90 * local.polledPerS && remote.polledBad == 0)});
  }
  if (scans.scans > 1) {
    const bool clean = scans.bad == 0 && scans.missing == 0 && scans.lastError == 0;
    t.add({std::string(what) + ": paced scans/s (6 channels, shortest interval)",
           fixed(scans.perSecond, 3) + "/s (" + std::to_string(scans.scans) + " scans, " +
               std::to_string(scans.missing) + " lost, " + std::to_string(scans.bad) + " wrong)",
           fixed(scans.timerRate, 3) + "/s timer", ratioText(scans.perSecond, scans.timerRate),
           ">= 0.999, none lost", verdictOf(scans.perSecond >= 0.999 * scans.timerRate && clean)});
    t.add({std::string(what) + ": CPU of the driver waiting for paced scans",
           percentText(scans.cpuShare), "", "", "< 0.5 % of a core",
           verdictOf(scans.cpuShare < 0.005)});
  } else {
    t.add({std::string(what) + ": paced scans",
           "no scans (lastError " + std::to_string(scans.lastError) + ")", "", "", "",
           Verdict::NotMeasured});
  }
  addGoneServerRow(t, *server, what);
}

}  // namespace bench
