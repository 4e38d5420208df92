// The figures of one k73bench run, and the table that sets each beside its
// physical or protocol limit and its target.
#ifndef TOV_BENCH_REPORT_H
#define TOV_BENCH_REPORT_H

#include "runs.h"
#include "table.h"

namespace bench {

struct Results {
  bool smoke = false;  // pump, latencies and a short polled run only
  bool soak = false;   // paced scans by count
  Durations durations;
  int scanBytes = 0;  // bytes of one six-channel scan on the line
  // Pseudo-terminal pumps, bytes/s: bulk, one byte per call, one-byte reads.
  double bulk = 0, oneByte = 0, oneByteReads = 0;
  LatencyResult conversionLatency, scanLatency;
  PolledResult polled, spin;
  SignOnResult signOn;
  ScanResult paced, unpaced;
  ConsoleResult console;
};

Table report(const Results& r);

}  // namespace bench

#endif
