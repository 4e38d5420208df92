#include "interval_fit.h"

#include <cmath>

namespace k73log {

namespace {

// With no counter preset (the logger, like the console, keeps -1) the
// sign-on counts the interval in ticks of 3906.25 / 2^baudIndex per second,
// and the converter's timer runs at that rate whatever its firmware.
// CheckScanTime snaps to 4882.8125 ticks for firmware above 100, so its
// interval is not the one the converter keeps there.
double tickRate(const DeviceRecord& rec) {
  const int baudIndex = rec.baudIndex >= 0 && rec.baudIndex <= 5 ? rec.baudIndex : 0;
  return 3906.25 / (1 << baudIndex);
}

}  // namespace

int64_t timerCount(const DeviceRecord& rec) {
  const double count = std::trunc((rec.scanInterval + 0.00005) * tickRate(rec) - 1);
  return count > 0 ? static_cast<int64_t>(count) : 0;
}

IntervalFit fitInterval(const DriverCalls& driver, DeviceRecord* rec, bool shortestInterval) {
  IntervalFit fit;
  if (shortestInterval) {
    rec->scanInterval = 0;  // one tick: below every limit; gives the limits
    fit.averagingReduced = driver.CheckScanTime(rec, &fit.longestS, &fit.shortestS) == 2;
    rec->scanInterval = fit.shortestS;
  }
  const int16_t result = driver.CheckScanTime(rec, &fit.longestS, &fit.shortestS);
  fit.withinLimits = result != 0;
  fit.averagingReduced = fit.averagingReduced || result == 2;

  int64_t ticks = timerCount(*rec) + 1;
  // Never faster than the converter can serve the scan.
  if (static_cast<double>(ticks) / tickRate(*rec) < fit.shortestS - 1e-9) ++ticks;
  rec->scanInterval = static_cast<double>(ticks) / tickRate(*rec);
  return fit;
}

}  // namespace k73log
