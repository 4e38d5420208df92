// Where the run hands what it logs: scans with their times, gap marks, and
// notices about failures and reconnects.
#ifndef K73LOG_SCAN_SINK_H
#define K73LOG_SCAN_SINK_H

#include <cstdint>
#include <string>
#include <vector>

namespace k73log {

struct Scan {
  int64_t utcMs;  // host clock at the scan's arrival
  int64_t index;  // converter intervals since the run's first scan
  std::vector<double> millivolts;
  int64_t seq = 0;  // a publishing run's never-repeating number of the scan; 0 otherwise
};

struct GapMark {
  int64_t fromUtcMs;  // the last scan before the gap (or the run's start)
  int64_t toUtcMs;    // the first scan after it (or the run's end)
  int64_t scansMissing;
};

class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // False when the scan could not be logged (the output failed): the run ends.
  virtual bool scan(const Scan& scan) = 0;
  virtual void gap(const GapMark& gap) = 0;
  virtual void notice(const std::string& text) = 0;
};

}  // namespace k73log

#endif
