// The measured runs: the driver against k73sim over a pseudo-terminal, the
// driver against a raw pseudo-terminal peer in this process, and the console
// program in a terminal.
#ifndef TOV_BENCH_RUNS_H
#define TOV_BENCH_RUNS_H

#include <cstddef>
#include <string>

#include "driver_binding.h"

namespace bench {

// The built driver, every export bound by name.
using Driver = k73test::DriverBinding;

struct Durations {
  double pumpS = 1.0;         // each pseudo-terminal pump
  int signOns = 3;            // sign-ons timed
  double polledS = 10.0;      // polled conversions through the driver
  double spinS = 5.0;         // the same with a spinning wait
  double scanS = 30.0;        // paced scans through the driver
  long scanCount = 0;         // > 0: paced scans by count instead (the soak)
  double unpacedS = 5.0;      // unpaced scans through the driver
  int latencySamples = 1000;  // per latency figure
  double consoleS = 20.0;     // scans through tovcon
};

// Six channels at control code 0 each, 24-bit unipolar words, averaging 1,
// the fastest conversion rate, 9600 baud.
constexpr double kInputsMv[6] = {1000.0, 1500.5, 2000.25, 2500.0, 3333.3, 4999.0};
DeviceRecord benchRecord();

// Bytes per second a raw pseudo-terminal carries from master to slave for
// `seconds`, writing and reading at most the given number of bytes per call:
// large chunks give the terminal's own ceiling, one byte per call the way the
// simulator writes and the driver reads.
double pumpBytesPerSecond(size_t writeChunk, size_t readChunk, double seconds);

struct SignOnResult {
  int attempts = 0, succeeded = 0;
  double medianS = 0;
  double cpuShare = 0;
};
SignOnResult timeSignOns(Driver& drv, DeviceRecord rec, int count);

struct PolledResult {
  long conversions = 0, failures = 0, wrongValues = 0;
  double perSecond = 0;
  double cpuShare = 0;
  double simLimit = 0;   // conversions/s k73sim can serve over the pseudo-terminal
  double linkLimit = 0;  // ... and a real 9600-baud line, request bytes included
};
// Polled conversions with the driver's GetConversion, or with a naive
// request-and-spin loop on the same port when spinning is set.
PolledResult runPolled(Driver& drv, DeviceRecord rec, double seconds, bool spinning);

struct ScanResult {
  long scans = 0, failures = 0, wrongValues = 0;
  long missing = 0;  // paced: scans the converter's timer sent that never came
  int lastError = 0;
  double perSecond = 0;
  double intervalS = 0;
  double cpuShare = 0;     // this thread, calling the driver
  double simCpuShare = 0;  // the simulator process
};
// Scans through the driver until `seconds` have passed or `count` scans
// (when positive) came, against k73sim paced or unpaced.
ScanResult runScans(Driver& drv, DeviceRecord rec, double seconds, long count, bool unpaced);

struct LatencyResult {
  long samples = 0, failures = 0;
  double medianUs = 0, p99Us = 0;
};
// From the moment a raw pseudo-terminal peer writes a reply's last byte to
// the moment the export returns: GetConversion, and GetOneScan.
LatencyResult conversionLatency(Driver& drv, int samples);
LatencyResult scanLatency(Driver& drv, int samples);

struct ConsoleResult {
  bool ok = false;
  std::string problem;
  long scansOnScreen = 0;
  double perSecond = 0;
  double intervalS = 0;
  double cpuShare = 0;
  long peakResidentKiB = -1;
  long fileLines = 0, wrongLines = 0;
};
// tovcon in an 80 x 25 tmux pane: scanning mode, a scan run into a file for
// `seconds`, then stopped.
ConsoleResult runConsoleScan(const std::string& binDir, double intervalS, double seconds);

}  // namespace bench

#endif
