// k73bench: speed, latency, CPU and memory of the driver and the console
// program against k73sim on pseudo-terminals, each figure beside its physical
// or protocol limit, printed as one table.
//
//   k73bench            the full run (a few minutes)
//   k73bench --smoke    a few seconds: the pump, the latencies, a short polled run
//   k73bench --fleet    only k73log publishing to mosquitto (BENCH_FLEET_SHORT=1:
//                       shorter outages)
//   BENCH_LONG=1        paced scans through the driver run 10,000 scans (a soak
//                       of about 35 minutes at the shortest interval)
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "fleet_run.h"
#include "logger_run.h"
#include "measure.h"
#include "python_threads.h"
#include "remote_runs.h"
#include "report.h"
#include "runs.h"
#include "table.h"

namespace bench {

namespace {

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

void printMachine(const MachineLoad& load) {
  utsname u{};
  uname(&u);
  std::printf("Machine: %ld CPUs (nproc), %s, kernel %s %s\n%s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
              cpuModel().c_str(), u.sysname, u.release, load.describe().c_str());
}

// Runs one stage with a line on stderr, so a long run shows where it is.
template <class F>
auto stage(const char* what, F run) {
  std::fprintf(stderr, "k73bench: %s...\n", what);
  return run();
}

struct Options {
  bool smoke = false;
  bool fleetOnly = false;
  bool soak = false;
};

Durations durationsFor(const Options& o) {
  Durations d;
  if (o.smoke) {
    d.pumpS = 0.2;
    d.polledS = 1.0;
    d.latencySamples = 50;
  }
  if (o.soak) d.scanCount = 10000;
  return d;
}

}  // namespace

int run(const Options& options) {
  if (options.fleetOnly) {
    Table t;
    MachineLoad load;
    load.before = stage("other processes' CPU", [] { return otherProcessesCpuShare(1.0); });
    stage("k73log publishing to MQTT", [&] { addFleetRows(t, K73_BIN_DIR); });
    load.after = stage("other processes' CPU", [] { return otherProcessesCpuShare(1.0); });
    if (load.loaded()) t.markLoaded();
    printMachine(load);
    std::fputs(t.render().c_str(), stdout);
    return t.unmeasured() > 0 ? 1 : 0;
  }
  const Durations d = durationsFor(options);
  Driver drv(k73test::binPath("libtovdrv.so"));
  if (!drv.ok()) {
    std::fprintf(stderr, "k73bench: cannot bind the driver: %s\n", drv.lib.error().c_str());
    return 2;
  }
  MachineLoad load;
  load.before = stage("other processes' CPU", [] { return otherProcessesCpuShare(1.0); });
  const DeviceRecord rec = benchRecord();
  Results r;
  r.smoke = options.smoke;
  r.soak = options.soak;
  r.durations = d;
  r.scanBytes = rec.pointsPerScan * rec.bytesPerConversion + 2;

  r.bulk = stage("pseudo-terminal pump", [&] { return pumpBytesPerSecond(4096, 4096, d.pumpS); });
  r.oneByte = stage("one-byte pump", [&] { return pumpBytesPerSecond(1, 1, d.pumpS); });
  r.oneByteReads =
      stage("one-byte-read pump", [&] { return pumpBytesPerSecond(4096, 1, d.pumpS); });

  r.conversionLatency =
      stage("conversion latency", [&] { return conversionLatency(drv, d.latencySamples); });
  r.scanLatency = stage("scan latency", [&] { return scanLatency(drv, d.latencySamples); });

  r.polled = stage("polled conversions", [&] { return runPolled(drv, rec, d.polledS, false); });
  if (!options.smoke) {
    r.spin = stage("spinning polled baseline", [&] { return runPolled(drv, rec, d.spinS, true); });
    r.signOn = stage("sign-ons", [&] { return timeSignOns(drv, rec, d.signOns); });
    r.paced = stage("paced scans", [&] { return runScans(drv, rec, d.scanS, d.scanCount, false); });
    r.unpaced = stage("unpaced scans", [&] { return runScans(drv, rec, d.unpacedS, 0, true); });
    const double interval = r.paced.intervalS;
    if (interval > 0) {
      r.console = stage("scans through tovcon",
                        [&] { return runConsoleScan(K73_BIN_DIR, interval, d.consoleS); });
    }
  }

  Table t = report(r);
  if (!options.smoke) addRemoteRows(t, drv, d.polledS / 2, d.scanS / 2);
  if (!options.smoke)
    stage("scans through k73log", [&] { addLoggerRows(t, K73_BIN_DIR, options.soak); });
  if (!options.smoke) stage("k73log publishing to MQTT", [&] { addFleetRows(t, K73_BIN_DIR); });
  if (!options.smoke) stage("Python two-thread scans", [&] { return addPythonTwoThreadScans(t); });
  load.after = stage("other processes' CPU", [] { return otherProcessesCpuShare(1.0); });
  if (load.loaded()) t.markLoaded();
  printMachine(load);
  std::fputs(t.render().c_str(), stdout);
  std::printf("\n%d target(s) missed, %d figure(s) not measured.\n", t.failures(), t.unmeasured());
  return t.unmeasured() > 0 ? 1 : 0;
}

}  // namespace bench

int main(int argc, char** argv) {
  bench::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      options.smoke = true;
    } else if (std::strcmp(argv[i], "--fleet") == 0) {
      options.fleetOnly = true;
    } else {
      std::fprintf(stderr,
                   "Usage: k73bench [--smoke | --fleet]\n"
                   "Measures the driver and tovcon against k73sim and prints one table.\n"
                   "BENCH_LONG=1 makes the paced scan run a 10,000-scan soak.\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  const char* longRun = std::getenv("BENCH_LONG");
  options.soak = longRun && std::strcmp(longRun, "1") == 0 && !options.smoke;
  return bench::run(options);
}
