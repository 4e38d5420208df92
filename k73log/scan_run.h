// One logging run: sign on, fit the interval to the converter's timer, start
// scanning, hand every scan to the sink, reconnect with backoff after a
// failure, and leave the converter stopped and the port closed at the end.
#ifndef K73LOG_SCAN_RUN_H
#define K73LOG_SCAN_RUN_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver_calls.h"
#include "log_host.h"
#include "scan_clock.h"
#include "scan_sink.h"

namespace k73log {

struct RunLimits {
  int64_t count = 0;      // scans to write; 0: no limit
  double durationS = 0;   // from the first scan; 0: no limit
  bool reconnect = true;  // after a failure; otherwise the run ends with it
};

enum class PrepareResult { Ready, Unreachable, IntervalOutOfLimits };

struct Prepared {
  PrepareResult result = PrepareResult::Unreachable;
  double minIntervalS = 0;
  double maxIntervalS = 0;
  bool averagingReduced = false;
};

struct RunTotals {
  int exitCode = 0;
  int64_t scansWritten = 0;
  int64_t gaps = 0;
  int64_t scansMissing = 0;
  std::string failure;  // why a run ended with exit code 1
};

class ScanRun {
 public:
  ScanRun(const DriverCalls& driver, LogHost& host, DeviceRecord* rec, RunLimits limits,
          ScanSink& sink);

  // Signs on and fits the record's interval to the converter's timer (the
  // shortest it accepts when shortestInterval). On anything but Ready the
  // port is closed again.
  Prepared prepare(bool shortestInterval);
  // Scans until the limits, a stop request or (without reconnect) a failure.
  RunTotals run();

 private:
  enum class Waited { ScanReady, Stop, EndOfRun, Silent, PortGone };

  bool startScanning();
  Waited waitForScan();
  bool takeScan(std::vector<double>* millivolts, std::string* failure);
  bool record(std::vector<double> millivolts);
  bool reconnect();
  bool limitReached() const;
  int64_t endOfRunMs() const;
  void closeGap(int64_t toUtcMs, int64_t missing);
  int64_t scansBehind(bool begun) const;
  bool shortBacklog(int64_t nowMs) const;
  bool placeHeld(const int64_t* nextIndex, double nextArrivalMs);
  bool write(std::vector<double> millivolts, int64_t utcMs, int64_t index, int64_t readMs,
             int64_t behind);
  bool readWholeAtStop();

  struct HeldScan {
    std::vector<double> millivolts;
    int64_t utcMs;
  };

  const DriverCalls& drv_;
  LogHost& host_;
  DeviceRecord* rec_;
  RunLimits limits_;
  ScanSink& sink_;
  ScanClock clock_{0};
  RunTotals totals_;
  bool inGap_ = false;
  int64_t lastScanUtcMs_ = 0;
  int64_t noScanAtMs_ = 0;  // when the port last held no whole scan
  // A backlog read after a stall that holds fewer scans than the timer had
  // due: kept back until the next scan shows where the loss was.
  std::vector<HeldScan> held_;
  bool heldComplete_ = false;   // the backlog's newest scan is among them
  int64_t heldReadMs_ = 0;      // when it was read
  int64_t heldNoScanAtMs_ = 0;  // the last look before it that found no scan
  int64_t scanningSinceMs_ = 0;
  bool interrupted_ = false;  // the scan just waited for stood half-received
};

}  // namespace k73log

#endif
