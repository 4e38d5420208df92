// Rows for a converter behind ser2net on 127.0.0.1 (RFC 2217), each against
// the same converter on its own pseudo-terminal in the same run.
#ifndef TOV_BENCH_REMOTE_RUNS_H
#define TOV_BENCH_REMOTE_RUNS_H

#include "runs.h"
#include "table.h"

namespace bench {

void addRemoteRows(Table& t, Driver& drv, double polledS, double scanS);

}  // namespace bench

#endif
