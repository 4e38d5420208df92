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
// A port judged gone is looked at again this often until the silence is out:
// a Telnet command that came in two reads looks gone for a moment, and then
// costs no more than this much time without reading.
constexpr int64_t kGoneLookMs = 100;
// Scans missing from a backlog before it counts as short (one is jitter).
constexpr int64_t kLeastLossInBacklog = 2;
// A part of a scan that stands this long past its rest's time on the line was
// cut off (the converter silent, the adapter pulled): what completes it may be
// the tail of a later scan with the same marker positions. Such a tail comes a
// whole interval or more later, so at long intervals half of one is waited
// out: a network that holds a remote port's bytes for a moment costs no scan.
constexpr int64_t kLeastCutOffMs = 200;
int64_t cutOffMs(double intervalS) {
  const double halfMs = std::min(intervalS * 500, 1e12);  // a year is far less
  return halfMs > kLeastCutOffMs ? static_cast<int64_t>(halfMs) : kLeastCutOffMs;
}

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
  if (drv_.StartScanning(rec_) != 1) return false;
  scanningSinceMs_ = host_.monotonicMs();
  noScanAtMs_ = scanningSinceMs_;  // the sign-on emptied the port
  return true;
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
  int64_t changedAt = host_.monotonicMs();
  interrupted_ = false;
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
      changedAt = now;
    }
    const int64_t endAt = endOfRunMs();
    if (now >= endAt) return Waited::EndOfRun;
    if (now >= silentAt) return Waited::Silent;
    const int64_t deadline = std::min(silentAt, endAt);
    if (waiting == 0) {
      // One empty wake-up is Telnet traffic the count has just taken in; a
      // second in a row is a handle that stays readable with nothing behind
      // it: the port is gone as far as this wait can tell, so look again
      // now and then until the silence is out and the reconnection finds out.
      if (emptyWakes >= kMostEmptyWakes) {
        if (host_.sleepUntil(std::min(deadline, now + kGoneLookMs)) == Wake::Stop) {
          return Waited::Stop;
        }
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
    if (now - changedAt > restMs + cutOffMs(rec_->scanInterval)) interrupted_ = true;
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

int64_t ScanRun::scansBehind(bool begun) const {
  const int64_t scanBytes = std::max<int64_t>(tovScanBytes(rec_), 1);
  const int64_t bytes = std::max<int64_t>(drv_.GetNumBytesInBuffer(rec_), 0);
  return begun ? (bytes + scanBytes - 1) / scanBytes : bytes / scanBytes;
}

// A scan read after the host had not looked for a while, with fewer scans
// queued behind it than the timer had due since the last one (or since the
// stream started again): scans were lost somewhere in that time (the
// converter silent, the adapter unplugged), and the queue cannot tell whether
// the ones it holds came before the loss or after it.
bool ScanRun::shortBacklog(int64_t nowMs) const {
  if (!clock_.started() || clock_.intervalMs() <= 0) return false;
  if (double(nowMs - noScanAtMs_) < 1.5 * clock_.intervalMs()) return false;  // read as it came
  const int64_t due =
      inGap_ ? static_cast<int64_t>(double(nowMs - scanningSinceMs_) / clock_.intervalMs())
             : clock_.dueSinceLast(nowMs);
  return due >= scansBehind(true) + 1 + kLeastLossInBacklog;
}

bool ScanRun::write(std::vector<double> millivolts, int64_t utcMs, int64_t index, int64_t readMs,
                    int64_t behind) {
  if (inGap_) closeGap(utcMs, clock_.started() ? index - clock_.lastIndex() - 1 : 0);
  clock_.taken(index, readMs, behind);
  lastScanUtcMs_ = utcMs;
  if (!sink_.scan({utcMs, index, std::move(millivolts)})) return false;
  ++totals_.scansWritten;
  return true;
}

// The held backlog goes after the loss when the next scan (at nextIndex,
// arrived at nextArrivalMs) followed its newest within the interval: the
// stream was live again before the host looked. Otherwise (nextIndex null:
// the line fell silent after it, or the run goes on without a next scan) it
// goes before the loss, right after the last scan read as it came, or after a
// reconnect right after the last look that found the port empty.
bool ScanRun::placeHeld(const int64_t* nextIndex, double nextArrivalMs) {
  if (held_.empty()) return true;
  const double intervalMs = clock_.intervalMs();
  const auto n = int64_t(held_.size());
  const int64_t last = clock_.lastIndex();
  int64_t first = last + 1;
  double firstArrivalMs = double(clock_.lastReadMs()) + intervalMs;
  if (nextIndex && *nextIndex - n > last + 1) {
    first = *nextIndex - n;
    firstArrivalMs = nextArrivalMs - double(n) * intervalMs;
  } else if (inGap_) {
    firstArrivalMs = double(heldNoScanAtMs_) + intervalMs / 2;
    first = clock_.indexFor(std::llround(firstArrivalMs), 0, 0, true);
  }
  if (!inGap_ && first > last + 1) {
    sink_.notice("the converter's timer shows " + std::to_string(first - last - 1) +
                 " scans missing before a backlog read after a pause");
    inGap_ = true;
  }
  std::vector<HeldScan> held;
  held.swap(held_);
  heldComplete_ = false;
  for (int64_t k = 0; k < n; ++k) {
    if (limits_.count > 0 && totals_.scansWritten >= limits_.count) break;
    const auto readMs = std::llround(firstArrivalMs + double(k) * intervalMs);
    if (!write(std::move(held[k].millivolts), held[k].utcMs, first + k, readMs, 0)) return false;
  }
  return true;
}

bool ScanRun::record(std::vector<double> millivolts) {
  const int64_t now = host_.monotonicMs();
  const int64_t utc = host_.utcMs();
  if (!held_.empty() && heldComplete_) {
    const bool live = double(noScanAtMs_ - heldReadMs_) < 1.5 * clock_.intervalMs();
    const int64_t behind = scansBehind(true);
    const int64_t next = clock_.indexFor(now, behind, noScanAtMs_, inGap_);
    if (!placeHeld(live ? &next : nullptr, double(now) - double(behind) * clock_.intervalMs()))
      return false;
  } else if (!held_.empty() || shortBacklog(now)) {
    if (held_.empty()) heldNoScanAtMs_ = noScanAtMs_;
    held_.push_back({std::move(millivolts), utc});
    if (scansBehind(false) == 0) {
      heldComplete_ = true;
      heldReadMs_ = now;
    }
    return true;
  }
  const int64_t behind = scansBehind(true);
  const int64_t index = clock_.indexFor(now, behind, noScanAtMs_, inGap_);
  if (!inGap_ && clock_.started() && index > clock_.lastIndex() + 1) {
    // Scans vanished from a stream that went on: mark them as a gap.
    sink_.notice("the converter's timer shows " + std::to_string(index - clock_.lastIndex() - 1) +
                 " scans missing from the stream");
    inGap_ = true;
  }
  return write(std::move(millivolts), utc, index, now, behind);
}

// A stop takes the whole scans already received; the scans the timer had due
// and not yet read are marked as a gap, not dropped unseen.
bool ScanRun::readWholeAtStop() {
  std::vector<double> millivolts;
  std::string failure;
  while (!inGap_ && !limitReached() && drv_.GetNumScansInBuffer(rec_) > 0) {
    if (!takeScan(&millivolts, &failure)) {
      inGap_ = true;
      break;
    }
    if (!record(millivolts)) return false;
  }
  if (!placeHeld(nullptr, 0)) return false;
  if (!inGap_ && !limitReached() && clock_.missingUpTo(host_.monotonicMs()) > 0) inGap_ = true;
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
    if (waited == Waited::Stop) {
      if (!readWholeAtStop()) {
        totals_.exitCode = 1;
        totals_.failure = "cannot write the log";
      }
      break;
    }
    if (waited == Waited::EndOfRun) break;
    std::string failure;
    if (waited == Waited::ScanReady && takeScan(&millivolts, &failure)) {
      if (interrupted_) {
        // Left out; the next scan's arrival shows the gap it leaves.
        sink_.notice("a scan cut off on the line and completed later: left out");
        continue;
      }
      // A scan that arrives after a gap but past the run's duration is not logged.
      if (inGap_ && clock_.started() && host_.monotonicMs() >= endOfRunMs()) break;
      if (record(millivolts)) continue;
      totals_.exitCode = 1;
      totals_.failure = "cannot write the log";
      break;
    }
    if (waited == Waited::Silent) failure = "no scan within the interval plus 2 s";
    if (waited == Waited::PortGone) failure = "the port is gone";
    if (!placeHeld(nullptr, 0)) {
      totals_.exitCode = 1;
      totals_.failure = "cannot write the log";
      break;
    }
    if (!limits_.reconnect) {
      totals_.exitCode = 1;
      totals_.failure = failure;
      break;
    }
    sink_.notice(failure + "; signing on again");
    inGap_ = true;
    scanning = reconnect();
  }
  // A run that reached its end with a backlog held back still logs it.
  if (!placeHeld(nullptr, 0) && totals_.exitCode == 0) {
    totals_.exitCode = 1;
    totals_.failure = "cannot write the log";
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
