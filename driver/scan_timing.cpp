// Scan timing: the shortest and longest interval the converter's scan timer
// can serve for the record's scan list, the interval moved onto the timer's
// tick grid, and the wait for the digital filter to settle.
#include <algorithm>
#include <cmath>

#include "link.h"

namespace {

// The scan timer counts ticks in 24 bits. Older firmware runs it from a
// slower clock, so its ticks are longer and its longest interval is too.
struct ScanTimer {
  double ticksPerSecond;
  double longestSeconds;
};

ScanTimer scanTimerFor(const DeviceRecord* rec, double baudFactor) {
  if (rec->firmwareVersion <= 100) return {3906.25 / baudFactor, 4233 * baudFactor};
  return {4882.8125 / baudFactor, 3386 * baudFactor};
}

// The shortest time the converter needs for one scan with `averaging`
// conversions per point: the conversions, the settling after each input
// switch, and its bookkeeping per scan; a self-calibrating scan also measures
// its two calibration inputs.
double conversionSeconds(const DeviceRecord* rec, double averaging, double baudFactor) {
  const double settling = tovFilterSettlingSeconds(rec->filter);
  const double rate = rec->sampleRate;
  if (rec->scanType == 0) return averaging / rate + 0.0005 * (rec->baudIndex + 1);
  const double perPoint =
      (averaging + 2) / rate + (rec->counterPreset == -1 ? 0.82 * settling : 0.03);
  double seconds = rec->pointsPerScan * perPoint + 0.007 * baudFactor;
  if (rec->scanType == 2) seconds += 0.0042 * baudFactor + 2 * (4 / rate + settling);
  return seconds;
}

// Time the line needs to carry one scan: 1.1 ms a byte at 9600 baud, longer
// in proportion at the slower rates. The converter's timer rule leaves the
// two markers of a self-calibrating scan out of the count.
double transmitSeconds(const DeviceRecord* rec, double baudFactor) {
  int32_t bytes = tovScanBytes(rec);
  if (rec->scanType == 2) bytes -= 2;
  return bytes * baudFactor * 0.0011;
}

double shortestScanSeconds(const DeviceRecord* rec, double baudFactor) {
  return std::max(conversionSeconds(rec, rec->remoteAvg, baudFactor),
                  transmitSeconds(rec, baudFactor));
}

}  // namespace

extern "C" {

TOVEXPORT int16_t TOVAPI CheckScanTime(DeviceRecord* rec, double* maxOut, double* minOut) {
  const double baudFactor = std::ldexp(1.0, rec->baudIndex);
  const ScanTimer timer = scanTimerFor(rec, baudFactor);

  double shortest = shortestScanSeconds(rec, baudFactor);
  bool averagingReduced = false;
  if (shortest > timer.longestSeconds) {
    // Even the shortest scan outlasts the timer: halve the converter's
    // averaging (once per call) and judge the interval against the scan the
    // converter will now take.
    rec->remoteAvg >>= 1;
    RemoteAvg(rec);
    averagingReduced = true;
    shortest = shortestScanSeconds(rec, baudFactor);
  }

  const double k = timer.ticksPerSecond;
  const double minSeconds = std::trunc((shortest + 0.00005) * k) / k;
  const double maxSeconds = std::floor(timer.longestSeconds * k) / k;
  if (maxOut) *maxOut = maxSeconds;
  if (minOut) *minOut = minSeconds;

  // The tick count that SignOn sends; the converter's interval is one more tick.
  const double ticks = std::trunc((rec->scanInterval + 0.00005) * k - 1);
  rec->scanInterval = (ticks + 1) / k;

  if (rec->scanInterval > maxSeconds || rec->scanInterval < minSeconds) return 0;
  return averagingReduced ? 2 : 1;
}

TOVEXPORT int32_t TOVAPI FilterDelay(DeviceRecord* rec) {
  const int64_t start = tov::clockMs();
  const int64_t end = start + (rec->filter == 0 ? 8500 : 500);
  int64_t now = start;
  while ((now = tov::clockMs()) < end) tov::busyWaitMs(end - now);
  return static_cast<int32_t>(now);
}

}  // extern "C"
