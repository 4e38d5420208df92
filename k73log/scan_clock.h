// The converter's own time for each scan: its index on the scan timer since
// the run's first scan. Consecutive scans count one interval each; the first
// scan after a gap takes the index the host's monotonic time gives, so the
// scans lost in the gap show as a jump.
//
// A scan's time is when it was read, less one interval for each scan still
// waiting behind it: a host that fell behind reads old scans late. Whole
// scans can also vanish from a stream that goes on (a line that dropped them
// for less than the silence the run waits out): when two consecutive scans
// lie two or more intervals apart even on the most favourable reading of the
// times, the later one takes the later index.
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

  // The index of a scan read at monotonic time nowMs with scansBehind more
  // (whole or begun) waiting; afterGap says whether scans may have been lost
  // since the last one.
  int64_t indexFor(int64_t nowMs, int64_t scansBehind, bool afterGap) const;
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
  double lastMs_ = 0;  // the last scan's time, as arrivalMs gives it
  int64_t lastIndex_ = -1;
};

}  // namespace k73log

#endif
