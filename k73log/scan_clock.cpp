#include "scan_clock.h"

#include <algorithm>
#include <cmath>

namespace k73log {

int64_t ScanClock::indexFor(int64_t nowMs, int64_t scansBehind, bool afterGap) const {
  if (!started_) return 0;
  if (intervalMs_ <= 0) return lastIndex_ + 1;
  const double at = arrivalMs(nowMs, scansBehind);
  if (afterGap) {
    // Arrival times jitter around the timer's; the nearest tick is the scan's.
    const int64_t due = std::llround((at - firstMs_) / intervalMs_);
    return std::max(lastIndex_ + 1, due);
  }
  // Either time may be late by up to an interval less the scan's time on the
  // line (a later scan would be waiting otherwise), never early beyond
  // jitter: a step of n intervals is certain only from n - 0.95 on.
  const auto steps = static_cast<int64_t>(std::floor((at - lastMs_) / intervalMs_ + 0.05));
  return lastIndex_ + std::max<int64_t>(1, steps);
}

void ScanClock::taken(int64_t index, int64_t nowMs, int64_t scansBehind) {
  const double at = arrivalMs(nowMs, scansBehind);
  if (!started_) {
    started_ = true;
    firstMs_ = at;
  }
  lastMs_ = at;
  lastIndex_ = index;
}

int64_t ScanClock::missingUpTo(int64_t nowMs) const {
  if (!started_ || intervalMs_ <= 0) return 0;
  // Only scans whose time has come: the next one may be on its way.
  const auto due = static_cast<int64_t>(std::floor((nowMs - firstMs_) / intervalMs_));
  return std::max<int64_t>(0, due - lastIndex_);
}

}  // namespace k73log
