// k73log publishing to a mosquitto on loopback: scan-to-subscriber latency,
// catch-up after an outage, CPU, memory through a long outage, and eight
// loggers into one broker.
#ifndef TOV_BENCH_FLEET_RUN_H
#define TOV_BENCH_FLEET_RUN_H

#include <string>

#include "table.h"

namespace bench {

// BENCH_FLEET_SHORT=1 shortens the outages (10 s and 30 s instead of 60 s
// and 10 minutes) and the runs.
void addFleetRows(Table& t, const std::string& binDir);

}  // namespace bench

#endif
