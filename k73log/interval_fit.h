// Fitting the scan interval to the converter: its limits for the scan list
// (CheckScanTime), and the interval its timer really runs at.
#ifndef K73LOG_INTERVAL_FIT_H
#define K73LOG_INTERVAL_FIT_H

#include "driver_calls.h"

namespace k73log {

struct IntervalFit {
  bool withinLimits = false;
  bool averagingReduced = false;
  double shortestS = 0;
  double longestS = 0;
};

// Checks rec->scanInterval (or, with shortestInterval, takes the shortest
// the converter accepts) and replaces it by the interval of the count the
// sign-on will send, as the converter's timer runs it.
IntervalFit fitInterval(const DriverCalls& driver, DeviceRecord* rec, bool shortestInterval);

}  // namespace k73log

#endif
