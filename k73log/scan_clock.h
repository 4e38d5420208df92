// The converter's own time for each scan: its index on the scan timer since
// the run's first scan. Consecutive scans count one interval each; the first
// scan after a gap takes the index the host's monotonic time gives, so the
// scans lost in the gap show as a jump.
#ifndef K73LOG_SCAN_CLOCK_H
#define K73LOG_SCAN_CLOCK_H

#include <cstdint>

namespace k73log {

class ScanClock {
 public:
  explicit ScanClock(double intervalS) : intervalMs_(intervalS * 1000) {}

  bool started() const { return started_; }
  int64_t lastIndex() const { return lastIndex_; }
  int64_t firstScanMs() const { return firstMs_; }

  // The index of a scan that arrived at monotonic time nowMs; afterGap says
  // whether scans may have been lost since the last one.
  int64_t indexFor(int64_t nowMs, bool afterGap) const;
  void taken(int64_t index, int64_t nowMs);

  // Scans that fell due from the last one up to nowMs (a run ending in a gap).
  int64_t missingUpTo(int64_t nowMs) const;

 private:
  double intervalMs_;
  bool started_ = false;
  int64_t firstMs_ = 0;
  int64_t lastIndex_ = -1;
};

}  // namespace k73log

#endif
