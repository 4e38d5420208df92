// The converter's own time for each scan: its index on the scan timer since
// the run's first scan. Consecutive scans count one interval each; the first
// scan after a gap takes the index the host's monotonic time gives, so the
// scans lost in the gap show as a jump.
//
// A scan read from a backlog arrived one interval or more before each scan
// still waiting behind it. Whole scans can also vanish from a stream that
// goes on (a line that dropped them for less than the silence the run waits
// out): a scan that was not yet there when the host last looked, one and a
// half intervals or more after the previous scan was read, is later by that
// many intervals (rounded), and takes that later index.
#ifndef K73LOG_SCAN_CLOCK_H
#define K73LOG_SCAN_CLOCK_H

#include <cstdint>

namespace k73log {

class ScanClock {
 public:
  explicit ScanClock(double intervalS) : intervalMs_(intervalS * 1000) {}

  bool started() const { return started_; }
  int64_t lastIndex() const { return lastIndex_; }
  int64_t firstScanMs() const { return int64_t(firstMs_); }
  double intervalMs() const { return intervalMs_; }
  int64_t lastReadMs() const { return lastReadMs_; }

  // Scans the timer had due from the last one read up to nowMs, whole
  // intervals only.
  int64_t dueSinceLast(int64_t nowMs) const;

  // The index of a scan read at monotonic time nowMs with scansBehind more
  // (whole or begun) waiting, and not yet there at notBeforeMs; afterGap says
  // whether scans may have been lost since the last one.
  int64_t indexFor(int64_t nowMs, int64_t scansBehind, int64_t notBeforeMs, bool afterGap) const;
  void taken(int64_t index, int64_t nowMs, int64_t scansBehind);

  // Scans that fell due from the last one up to nowMs (a run ending in a gap).
  int64_t missingUpTo(int64_t nowMs) const;

 private:
  double arrivalMs(int64_t nowMs, int64_t scansBehind) const {
    return double(nowMs) - double(scansBehind) * intervalMs_;
  }

  double intervalMs_;
  bool started_ = false;
  double firstMs_ = 0;
  int64_t lastReadMs_ = 0;  // the last scan was there by then
  int64_t lastIndex_ = -1;
};

}  // namespace k73log

#endif
