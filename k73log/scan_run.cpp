#include "scan_run.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "interval_fit.h"
#include "tovscan.h"

namespace k73log {

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kFirstBackoffMs = 1000;
constexpr int64_t kLongestBackoffMs = 30000;
constexpr int kMostEmptyWakes = 2;

const char* scanFailureText(int32_t lastError) {
  const char* text = tovScanFailureText(lastError);
  return text ? text : "scan failed";
}

}  // namespace

ScanRun::ScanRun(const DriverCalls& driver, LogHost& host, DeviceRecord* rec, RunLimits limits,
                 ScanSink& sink)
    : drv_(driver), host_(host), rec_(rec), limits_(limits), sink_(sink) {}

Prepared ScanRun::prepare(bool shortestInterval) {
  Prepared prepared;
  // The converter's limits follow its firmware version, known only once it
  // has answered, and a fit that halves the averaging tells the converter at
  // once (RemoteAvg): so fit only on the open port, and sign on again when
  // the fit changed the interval or the averaging the converter was given.
  if (!drv_.SignOn(rec_)) {
    drv_.CloseDevice(rec_);  // a sign-on that failed part-way may leave the port open
    return prepared;
  }
  const uint32_t signedOnCount = tovTimerCount(rec_);
  const uint32_t signedOnAveraging = rec_->remoteAvg;
  const IntervalFit fit = fitInterval(drv_, rec_, shortestInterval);
  prepared.averagingReduced = fit.averagingReduced;
  prepared.minIntervalS = fit.shortestS;
  prepared.maxIntervalS = fit.longestS;
  if (!fit.withinLimits) {
    drv_.CloseDevice(rec_);
    prepared.result = PrepareResult::IntervalOutOfLimits;
    return prepared;
  }
  if ((tovTimerCount(rec_) != signedOnCount || rec_->remoteAvg != signedOnAveraging) &&
      !drv_.SignOn(rec_)) {
    drv_.CloseDevice(rec_);
    return prepared;
  }
  clock_ = ScanClock(tovTimerInterval(rec_));  // the spacing of the scans as the timer keeps it
  prepared.result = PrepareResult::Ready;
  return prepared;
}

bool ScanRun::startScanning() {
  drv_.SysCal(rec_);  // a failed calibration does not stop the run
  drv_.RemoteAvg(rec_);
  if (rec_->scanType == 0) drv_.SetChanCode(rec_);
  return drv_.StartScanning(rec_) == 1;
}

int64_t ScanRun::endOfRunMs() const {
  if (limits_.durationS <= 0 || !clock_.started()) return kNever;
  return clock_.firstScanMs() + static_cast<int64_t>(std::ceil(limits_.durationS * 1000));
}

bool ScanRun::limitReached() const {
  if (limits_.count > 0 && totals_.scansWritten >= limits_.count) return true;
  return host_.monotonicMs() >= endOfRunMs();
}

ScanRun::Waited ScanRun::waitForScan() {
  // The port's handle only says when to look again: a remote port's handle
  // is a socket that wakes for Telnet traffic the driver consumes, and stays
  // readable for ever once the server has gone. Only the driver's count says
  // whether bytes came.
  TovHandle port = TOV_INVALID_HANDLE;
  drv_.GetComHandle(rec_, &port);
  uint32_t seen = UINT32_MAX;  // the first count starts the silence clock
  int64_t silentAt = host_.monotonicMs() + tovScanWaitMs(rec_->scanInterval);
  int emptyWakes = 0;  // wake-ups in a row that brought the driver nothing
  for (;;) {
    if (host_.stopRequested()) return Waited::Stop;
    const int64_t lookedAt = host_.monotonicMs();  // before the look: a stall may follow it
    // A count of -1 is an overflowing input queue: GetOneScan reports it.
    if (drv_.GetNumScansInBuffer(rec_) != 0) return Waited::ScanReady;
    const uint32_t waiting = rec_->comStat.cbInQue;  // as the count just refreshed it
    const int64_t now = host_.monotonicMs();
    noScanAtMs_ = lookedAt;
    if (waiting != seen) {
      seen = waiting;
      silentAt = now + tovScanWaitMs(rec_->scanInterval);
      emptyWakes = 0;
    }
    const int64_t endAt = endOfRunMs();
    if (now >= endAt) return Waited::EndOfRun;
    if (now >= silentAt) return Waited::Silent;
    const int64_t deadline = std::min(silentAt, endAt);
    if (waiting == 0) {
      // One empty wake-up is Telnet traffic the count has just taken in; a
      // second in a row is a handle that stays readable with nothing behind
      // it: the port is gone as far as this wait can tell, so sleep out the
      // silence and let the reconnection find out.
      if (emptyWakes >= kMostEmptyWakes) {
        if (host_.sleepUntil(deadline) == Wake::Stop) return Waited::Stop;
        continue;
      }
      const Wake wake = host_.waitForInput(port, deadline);
      if (wake == Wake::PortGone) return Waited::PortGone;
      if (wake == Wake::Input) ++emptyWakes;  // undone above when bytes came
      continue;
    }
    // Part of a scan is in: the rest is due within its time on the line. The
    // margin covers the pacing of the bytes, so that one wake-up finds it whole.
    const int64_t restMs = tovScanRestMs(rec_, waiting) + 2;
    host_.sleepUntil(std::min(deadline, now + restMs));
  }
}

bool ScanRun::takeScan(std::vector<double>* millivolts, std::string* failure) {
  if (drv_.GetOneScan(rec_) != 1) {
    *failure = scanFailureText(rec_->lastError);
    return false;
  }
  int points = rec_->scanType == 0 ? 1 : rec_->pointsPerScan;
  if (rec_->scanType == 2) points += 2;  // offset and full-scale calibration first
  millivolts->clear();
  for (int i = 0; i < points; ++i) {
    drv_.Gconv(rec_);
    millivolts->push_back(rec_->millivolts);
  }
  if (rec_->scanType == 0) return true;
  const bool framed = tovScanEndMarkerSeen(rec_);
  drv_.RemFromBuffer(rec_, TOV_SCAN_BUFFER_SIZE);  // the next scan starts empty either way
  if (!framed) *failure = "End scan framing failure";
  return framed;
}

void ScanRun::closeGap(int64_t toUtcMs, int64_t missing) {
  sink_.gap({lastScanUtcMs_, toUtcMs, missing});
  ++totals_.gaps;
  totals_.scansMissing += missing;
  inGap_ = false;
}

bool ScanRun::record(std::vector<double> millivolts) {
  const int64_t now = host_.monotonicMs();
  const int64_t utc = host_.utcMs();
  const int64_t scanBytes = std::max<int64_t>(tovScanBytes(rec_), 1);
  const int64_t behind = (int64_t(drv_.GetNumBytesInBuffer(rec_)) + scanBytes - 1) / scanBytes;
  const int64_t index = clock_.indexFor(now, behind, noScanAtMs_, inGap_);
  if (!inGap_ && clock_.started() && index > clock_.lastIndex() + 1) {
    // Scans vanished from a stream that went on: mark them as a gap.
    sink_.notice("the converter's timer shows " + std::to_string(index - clock_.lastIndex() - 1) +
                 " scans missing from the stream");
    inGap_ = true;
  }
  if (inGap_) closeGap(utc, clock_.started() ? index - clock_.lastIndex() - 1 : 0);
  clock_.taken(index, now, behind);
  lastScanUtcMs_ = utc;
  if (!sink_.scan({utc, index, std::move(millivolts)})) return false;
  ++totals_.scansWritten;
  return true;
}

bool ScanRun::reconnect() {
  int64_t backoffMs = kFirstBackoffMs;
  for (;;) {
    if (host_.stopRequested() || host_.monotonicMs() >= endOfRunMs()) return false;
    drv_.CloseDevice(rec_);  // stops whatever the converter still sends
    if (drv_.SignOn(rec_) && startScanning()) {
      sink_.notice("scanning again");
      return true;
    }
    sink_.notice("no answer from the converter; next try in " + std::to_string(backoffMs / 1000) +
                 " s");
    const int64_t retryAt = std::min(host_.monotonicMs() + backoffMs, endOfRunMs());
    if (host_.sleepUntil(retryAt) == Wake::Stop) return false;
    backoffMs = std::min(backoffMs * 2, kLongestBackoffMs);
  }
}

RunTotals ScanRun::run() {
  lastScanUtcMs_ = host_.utcMs();
  // A stop asked for during the sign-on: never start the stream at all.
  bool scanning = !host_.stopRequested() && startScanning();
  if (!scanning && !host_.stopRequested()) {
    totals_.exitCode = 1;
    totals_.failure = "the converter did not start scanning";
  }
  std::vector<double> millivolts;
  while (scanning && !limitReached()) {
    const Waited waited = waitForScan();
    if (waited == Waited::Stop || waited == Waited::EndOfRun) break;
    std::string failure;
    if (waited == Waited::ScanReady && takeScan(&millivolts, &failure)) {
      // A scan that arrives after a gap but past the run's duration is not logged.
      if (inGap_ && clock_.started() && host_.monotonicMs() >= endOfRunMs()) break;
      if (record(millivolts)) continue;
      totals_.exitCode = 1;
      totals_.failure = "cannot write the log";
      break;
    }
    if (waited == Waited::Silent) failure = "no scan within the interval plus 2 s";
    if (waited == Waited::PortGone) failure = "the port is gone";
    if (!limits_.reconnect) {
      totals_.exitCode = 1;
      totals_.failure = failure;
      break;
    }
    sink_.notice(failure + "; signing on again");
    inGap_ = true;
    scanning = reconnect();
  }
  if (scanning) drv_.StopScanning(rec_);
  drv_.CloseDevice(rec_);
  if (inGap_) {
    const int64_t end = std::min(host_.monotonicMs(), endOfRunMs());
    closeGap(host_.utcMs() - (host_.monotonicMs() - end), clock_.missingUpTo(end));
  }
  return totals_;
}

}  // namespace k73log
