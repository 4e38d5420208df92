// The Python package's two-thread scan: two k73.Converters, each in its own
// Python thread on its own simulator, scanning at once (a row per port).
#ifndef TOV_BENCH_PYTHON_THREADS_H
#define TOV_BENCH_PYTHON_THREADS_H

#include "table.h"

namespace bench {

void addPythonTwoThreadScans(Table& t);

}  // namespace bench

#endif
