// Progress on standard error: a line rewritten in place while it is a
// terminal, occasional whole lines with --verbose otherwise; notices about
// failures and reconnects; and the one summary line at the end.
#ifndef K73LOG_PROGRESS_H
#define K73LOG_PROGRESS_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "scan_run.h"
#include "scan_sink.h"

namespace k73log {

class Progress {
 public:
  // terminal: standard error is a terminal; shown: progress and notices wanted.
  Progress(std::FILE* err, bool terminal, bool shown, double intervalS);

  void scan(const Scan& scan, int64_t monotonicMs);
  void gap(const GapMark& gap);
  void notice(const std::string& text);
  void summary(const RunTotals& totals);

 private:
  void clearLine();

  std::FILE* err_;
  bool terminal_;
  bool shown_;
  double intervalS_;
  int64_t scans_ = 0;
  int64_t gaps_ = 0;
  int64_t firstMs_ = -1;
  int64_t shownMs_ = -1;
  bool lineOpen_ = false;
};

}  // namespace k73log

#endif
