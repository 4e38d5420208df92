#include "scan_clock.h"

#include <algorithm>
#include <cmath>

namespace k73log {

int64_t ScanClock::indexFor(int64_t nowMs, int64_t scansBehind, int64_t notBeforeMs,
                            bool afterGap) const {
  if (!started_) return 0;
  if (intervalMs_ <= 0) return lastIndex_ + 1;
  if (afterGap) {
    // Arrival times jitter around the timer's; the nearest tick is the scan's.
    // It came after the last look that found no whole scan, whatever extra
    // bytes (doubled, noise) wait behind it.
    const double arrival = std::max(arrivalMs(nowMs, scansBehind), double(notBeforeMs));
    const int64_t due = std::llround((arrival - firstMs_) / intervalMs_);
    return std::max(lastIndex_ + 1, due);
  }
  // The two scans are at least this far apart; half an interval is left for
  // jitter in their arrival (a network path, a busy host).
  const double apart = double(notBeforeMs - lastReadMs_) / intervalMs_;
  const auto steps = static_cast<int64_t>(std::ceil(apart - 0.5));
  return lastIndex_ + std::max<int64_t>(1, steps);
}

void ScanClock::taken(int64_t index, int64_t nowMs, int64_t scansBehind) {
  if (!started_) {
    started_ = true;
    firstMs_ = arrivalMs(nowMs, scansBehind);
  }
  lastReadMs_ = nowMs;
  lastIndex_ = index;
}

int64_t ScanClock::dueSinceLast(int64_t nowMs) const {
  if (!started_ || intervalMs_ <= 0) return 0;
  return static_cast<int64_t>(std::floor(double(nowMs - lastReadMs_) / intervalMs_));
}

int64_t ScanClock::missingUpTo(int64_t nowMs) const {
  if (!started_ || intervalMs_ <= 0) return 0;
  // Only scans whose time has come: the next one may be on its way.
  const auto due = static_cast<int64_t>(std::floor((nowMs - firstMs_) / intervalMs_));
  return std::max<int64_t>(0, due - lastIndex_);
}

}  // namespace k73log
