// k73log's rows: paced scans through the logger against its converter's
// timer, its CPU while logging, and its resident memory over a long run.
#ifndef TOV_BENCH_LOGGER_RUN_H
#define TOV_BENCH_LOGGER_RUN_H

#include <string>

#include "table.h"

namespace bench {

// Runs k73log (from binDir) against a paced k73sim and adds its rows; with
// soak, until 10,000 scans for the memory figure.
void addLoggerRows(Table& t, const std::string& binDir, bool soak);

}  // namespace bench

#endif
