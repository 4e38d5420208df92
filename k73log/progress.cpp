#include "progress.h"

namespace k73log {

namespace {

constexpr int64_t kTerminalRefreshMs = 250;
constexpr int64_t kVerboseLineEveryMs = 10000;
constexpr size_t kValuesShown = 3;

}  // namespace

Progress::Progress(std::FILE* err, bool terminal, bool shown, double intervalS)
    : err_(err), terminal_(terminal), shown_(shown), intervalS_(intervalS) {}

void Progress::clearLine() {
  if (lineOpen_) std::fputs("\r\033[K", err_);
  lineOpen_ = false;
}

void Progress::scan(const Scan& scan, int64_t monotonicMs) {
  ++scans_;
  if (firstMs_ < 0) firstMs_ = monotonicMs;
  if (!shown_) return;
  const int64_t every = terminal_ ? kTerminalRefreshMs : kVerboseLineEveryMs;
  if (shownMs_ >= 0 && monotonicMs - shownMs_ < every) return;
  shownMs_ = monotonicMs;

  const int64_t elapsedS = (monotonicMs - firstMs_) / 1000;
  // Scans after the first over the time since it, against the timer's rate.
  const double rate = monotonicMs > firstMs_ ? (scans_ - 1) * 1000.0 / (monotonicMs - firstMs_) : 0;
  const double expected = intervalS_ > 0 ? 1 / intervalS_ : 0;
  char line[160];
  int n = std::snprintf(
      line, sizeof line, "scans %lld  %lld:%02lld:%02lld  %.3f/s of %.3f  gaps %lld ",
      static_cast<long long>(scans_), static_cast<long long>(elapsedS / 3600),
      static_cast<long long>(elapsedS / 60 % 60), static_cast<long long>(elapsedS % 60), rate,
      expected, static_cast<long long>(gaps_));
  for (size_t i = 0; i < scan.millivolts.size() && i < kValuesShown && n > 0; ++i) {
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %.3f", scan.millivolts[i]);
  }
  clearLine();
  std::fputs(line, err_);
  if (terminal_) {
    lineOpen_ = true;
  } else {
    std::fputc('\n', err_);
  }
  std::fflush(err_);
}

void Progress::gap(const GapMark&) {
  ++gaps_;
}

void Progress::notice(const std::string& text) {
  if (!shown_) return;
  clearLine();
  std::fprintf(err_, "k73log: %s\n", text.c_str());
  std::fflush(err_);
}

void Progress::summary(const RunTotals& totals) {
  clearLine();
  std::fprintf(err_, "k73log: %lld scans written, %lld gaps, %lld scans missing\n",
               static_cast<long long>(totals.scansWritten), static_cast<long long>(totals.gaps),
               static_cast<long long>(totals.scansMissing));
  std::fflush(err_);
}

}  // namespace k73log
