#include "interval_fit.h"

#include "tovscan.h"

namespace k73log {

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

  // The logger keeps no counter preset (-1), so the sign-on counts on the
  // time base the converter's timer then runs at, whatever its firmware:
  // the interval becomes a whole number of that timer's ticks. CheckScanTime
  // snaps to 4882.8125 ticks for firmware above 100, which is not the
  // interval the converter keeps there.
  const double ticksPerSecond = tovTimerTicksPerSecond(rec);
  double ticks = static_cast<double>(tovTimerCount(rec)) + 1;
  // Never faster than the converter can serve the scan.
  if (ticks / ticksPerSecond < fit.shortestS - 1e-9) ++ticks;
  rec->scanInterval = ticks / ticksPerSecond;
  return fit;
}

}  // namespace k73log
