// Runs bench/python_two_threads.py with Debian's python3 against the built
// driver and simulator, and puts each converter's scan rate beside its timer's.
#include "python_threads.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace bench {

namespace {

constexpr int kScans = 200;
constexpr double kRateShare = 0.999;
constexpr const char* kPython = "/usr/bin/python3";

}  // namespace

void addPythonTwoThreadScans(Table& t) {
  const char* what = "Python: two Converters in two threads, scans/s at the shortest interval";
  if (access(kPython, X_OK) != 0) {
    t.add({what, "no " + std::string(kPython), "", "", "", Verdict::NotMeasured});
    return;
  }
  const std::string command = std::string("PYTHONPATH=") + K73_SOURCE_DIR +
                              "/python TOVDRV_LIBRARY=" + K73_BIN_DIR + "/libtovdrv.so " + kPython +
                              " -B " + K73_SOURCE_DIR + "/bench/python_two_threads.py " +
                              K73_BIN_DIR + "/k73sim " + std::to_string(kScans);
  FILE* out = popen(command.c_str(), "r");
  int rows = 0;
  char port[8];
  long scans = 0, wrong = 0;
  double interval = 0, seconds = 0;
  while (out &&
         std::fscanf(out, "%7s %ld %ld %lf %lf", port, &scans, &wrong, &interval, &seconds) == 5) {
    ++rows;
    const double rate = seconds > 0 ? (scans - 1) / seconds : 0;
    const double limit = 1 / interval;
    const bool clean = scans == kScans && wrong == 0;
    t.add({std::string(rows == 1 ? what : "  the same, the other thread") + " (" + port +
               ", 6 channels)",
           fixed(rate, 3) + "/s (" + std::to_string(scans) + " scans, " + std::to_string(wrong) +
               " wrong)",
           fixed(limit, 3) + "/s timer", ratioText(rate, limit), ">= 0.999, none lost",
           rate >= kRateShare * limit && clean ? Verdict::Pass : Verdict::Fail});
  }
  if (out) pclose(out);
  if (rows < 2)
    t.add({what, "failed (" + std::to_string(rows) + " of 2 ports)", "", "", "",
           Verdict::NotMeasured});
}

}  // namespace bench
