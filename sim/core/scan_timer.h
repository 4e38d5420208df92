// The converter's scan timer: which points a scan measures, how long a scan
// takes, and when each scan of a run is measured.
#ifndef K73_SIM_SCAN_TIMER_H
#define K73_SIM_SCAN_TIMER_H

#include <cstdint>
#include <vector>

namespace k73 {

// Channel codes of a scan's points in table order: channels 0..5, each from
// its start code (bits 4..7) up to its end code (bits 0..3); an end below the
// start skips the channel.
std::vector<uint8_t> scanPointCodes(const uint8_t table[6]);

// Timer ticks per second. The timer runs from a 3906.25 Hz base divided by
// 2^baudIndex; newer firmware (above 100) whose counter 0 holds a preset
// other than 255 runs from 4882.8125 Hz instead.
double scanTickRate(uint8_t firmware, uint32_t counter0, int baudIndex);

// Bytes one scan takes on the line.
int scanBytes(int type, int points, int wordBytes);

struct ScanCost {
  double measureS;   // from the timer tick until the last point is converted
  double transmitS;  // the scan's bytes at the line rate
};

// settleS: the filter's settling allowance per point switch.
ScanCost scanCost(int type, int points, int wordBytes, uint32_t averages, double rateHz,
                  double settleS, uint32_t lineBaud);

// Settling allowance for a filter setting; the converter waits less when its
// timer counters were preset (they hold the multiplexer for it).
double filterSettleS(uint8_t filter, bool countersPreset);

class ScanRun {
 public:
  void start(int type, int64_t firstTickUs, int64_t intervalUs);
  void stop() { running_ = false; }
  bool running() const { return running_; }
  int type() const { return type_; }
  int64_t intervalUs() const { return intervalUs_; }
  int scansSent() const { return scans_; }
  // The tick of the next scan to measure, then move on to the following one.
  int64_t nextTickUs() const { return firstTickUs_ + int64_t(scans_) * intervalUs_; }
  void advance() { ++scans_; }

 private:
  bool running_ = false;
  int type_ = 1;
  int64_t firstTickUs_ = 0;
  int64_t intervalUs_ = 0;
  int scans_ = 0;
};

}  // namespace k73

#endif
