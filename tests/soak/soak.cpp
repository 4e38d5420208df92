#include "soak.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <memory>

#include "run_setup.h"
#include "scan_run.h"
#include "virtual_ports.h"

namespace k73soak {

namespace {

using namespace k73log;

constexpr int kCom = 1;
constexpr int64_t kUtcAtZeroMs = 1'800'000'000'000;

DriverCalls linkedDriver() {
  DriverCalls calls;
#define K73SOAK_LINK(name) calls.name = &::name;
  TOVDRV_EXPORTS(K73SOAK_LINK, K73SOAK_LINK)
#undef K73SOAK_LINK
  return calls;
}

int64_t residentKb() {
  long pages = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * 4;
}

// The bench's clock as the logger's clocks. The host's own faults (a cable
// pulled, the process not scheduled) happen inside the logger's waits.
class SoakHost : public LogHost {
 public:
  explicit SoakHost(k73::VirtualBench& bench) : bench_(bench) {}

  void at(int64_t ms, std::function<void()> action) { actions_.emplace(ms, std::move(action)); }
  void stopAt(int64_t ms) { stopAtMs_ = ms; }

  int64_t monotonicMs() override { return bench_.nowMs(); }
  int64_t utcMs() override { return kUtcAtZeroMs + bench_.nowMs(); }
  bool stopRequested() override {
    runDue();
    return bench_.nowMs() >= stopAtMs_;
  }
  Wake waitForInput(TovHandle port, int64_t deadlineMs) override {
    const bool readable = waitOnPort(bench_, port, capped(deadlineMs));
    const Wake wake = after();
    return wake == Wake::Deadline && readable ? Wake::Input : wake;
  }
  Wake sleepUntil(int64_t deadlineMs) override {
    bench_.sleepUntilMs(capped(deadlineMs));
    return after();
  }

 private:
  int64_t capped(int64_t deadlineMs) {
    runDue();
    int64_t d = std::min(deadlineMs, stopAtMs_);
    if (!actions_.empty()) d = std::min(d, actions_.begin()->first);
    return std::max(d, bench_.nowMs());
  }
  Wake after() {
    runDue();
    return bench_.nowMs() >= stopAtMs_ ? Wake::Stop : Wake::Deadline;
  }
  void runDue() {
    while (!actions_.empty() && actions_.begin()->first <= bench_.nowMs()) {
      auto action = actions_.begin()->second;
      actions_.erase(actions_.begin());
      action();
    }
  }

  k73::VirtualBench& bench_;
  std::multimap<int64_t, std::function<void()>> actions_;
  int64_t stopAtMs_ = std::numeric_limits<int64_t>::max();
};

// Takes the converter's record of made scans and the logger's lines as they
// come, and settles each made scan once a logged scan at or after it shows
// what became of it. Only the scans not yet settled are held.
class Accountant : public ScanSink {
 public:
  Accountant(SoakReport& report, const DeviceRecord& rec, const FaultLine& line)
      : report_(report), rec_(rec), line_(line) {}

  void made(const k73::MadeScan& scan) {
    trace("made " + std::to_string(scan.serial) + " tick " + std::to_string(scan.tickUs / 1e6));
    ++report_.scansMade;
    unsettled_.push_back({scan.serial, scan.tickUs});
  }

  // K73SOAK_TRACE=FROM-TO (seconds) prints what the logger did in between.
  void traceFrom(const char* range) {
    if (range) std::sscanf(range, "%lf-%lf", &traceFromS_, &traceToS_);
  }

  bool scan(const Scan& s) override {
    const int64_t serial = s.millivolts.size() == 1 ? serialOf(s.millivolts[0]) : -1;
    trace("scan index " + std::to_string(s.index) + " serial " + std::to_string(serial) +
          " (last " + std::to_string(lastSerial_) + ")");
    if (gapOpen_ && afterGapIndex_ < 0) afterGapIndex_ = s.index;
    if (serial < 0) {
      wrongValue(s);
      return true;
    }
    // Without a gap the logger vouches for the next scan of the stream: any
    // other value was changed on its way, by the line or by the logger.
    const bool next = lastSerial_ < 0 || gapOpen_ || s.index != lastIndex_ + 1;
    if (serial == lastSerial_) {
      ++report_.loggedTwice;
      return true;
    }
    // A stamp from further on, without a gap: scans were lost on the way
    // (settled below) unless noise changed this one's value.
    if (serial < lastSerial_ || (!next && serial != lastSerial_ + 1 && noisyNext())) {
      wrongValue(s);
      return true;
    }
    bool creditUsed = false;
    while (!unsettled_.empty() && int64_t(unsettled_.front().serial) < serial) {
      const Made m = unsettled_.front();
      unsettled_.pop_front();
      if (int64_t(m.serial) <= lastSerial_) continue;
      if (gapOpen_) {
        ++report_.insideGaps;
        if (line_.lineFaultAt(m.tickUs)) ++report_.insideGapsDamaged;
      } else if (earlyCount_ > 0) {
        --earlyCount_;
        ++report_.insideGaps;
        ++report_.insideEarlyGaps;
        creditUsed = true;
        // What is left of the count when the jump ends is the one off the timer.
        if (unsettled_.empty() || int64_t(unsettled_.front().serial) >= serial) earlyCount_ = 0;
      } else {
        ++report_.lostOutsideGaps;
        note("lost outside a gap", m.tickUs);
      }
    }
    if (unsettled_.empty() || int64_t(unsettled_.front().serial) != serial) {
      wrongValue(s);  // a stamp the converter never made
      return true;
    }
    const int64_t tickUs = unsettled_.front().tickUs;
    unsettled_.pop_front();
    ++report_.loggedRight;
    if (earlyCount_ > 0 && !gapOpen_) {
      ++report_.wrongIndex;  // logged after a gap mark that came too early
    } else if (lastSerial_ >= 0 && !creditUsed) {
      checkIndex(s, tickUs);
    }
    gapOpen_ = false;
    lastSerial_ = serial;
    lastTickUs_ = tickUs;
    lastIndex_ = s.index;
    return true;
  }

  void gap(const GapMark& g) override {
    trace("gap of " + std::to_string(g.scansMissing));
    ++report_.gaps;
    gapOpen_ = true;
    pendingGap_ = g;
    afterGapIndex_ = -1;
    earlyCount_ = 0;
  }

  void notice(const std::string& text) override {
    trace(text);
    const size_t cut = text.find("; signing on again");
    if (cut != std::string::npos) ++report_.failures[text.substr(0, cut)];
    if (text.find("missing from the stream") != std::string::npos)
      ++report_.failures["scans missing on the converter's timer"];
    if (text.find("missing before a backlog") != std::string::npos)
      ++report_.failures["scans missing before a backlog"];
    if (text.find("cut off on the line") != std::string::npos)
      ++report_.failures["a scan cut off and completed later"];
  }

  // What the converter made after the last logged scan: inside the gap that
  // ended the run, or still on its way when the stop came.
  void finish() {
    for (const Made& m : unsettled_) {
      if (int64_t(m.serial) <= lastSerial_) continue;
      if (gapOpen_) {
        ++report_.insideGaps;
        if (line_.lineFaultAt(m.tickUs)) ++report_.insideGapsDamaged;
      } else {
        ++report_.unreadAtStop;
      }
    }
    unsettled_.clear();
  }

 private:
  struct Made {
    uint64_t serial;
    int64_t tickUs;
  };

  int64_t serialOf(double mv) const {
    double value = rec_.bipolar ? (mv + 5000) / 2 : mv;
    const auto counts = static_cast<int32_t>(std::llround(value / 0.0002980232));
    const int64_t serial = k73::serialOfStamp(uint32_t(counts));
    if (serial < 0) return -1;
    DeviceRecord copy = rec_;
    copy.counts = int32_t(k73::stampCounts(uint64_t(serial)));
    return Counts2Volts(&copy) == mv ? serial : -1;
  }

  // The index steps one interval per scan of the converter's timer; across a
  // gap the logger only has its own clock, and a sign-on restarts the timer
  // at another phase, so the gap's count may be one off the timer's.
  void checkIndex(const Scan& s, int64_t tickUs) {
    const double intervalUs = rec_.scanInterval * 1e6;
    const double slots = (tickUs - lastTickUs_) / intervalUs;
    if (gapOpen_) {
      if (pendingGap_.scansMissing != afterGapIndex_ - lastIndex_ - 1) {
        ++report_.gapCountsOff;
        note("gap of " + std::to_string(pendingGap_.scansMissing) + " where the index jumped " +
                 std::to_string(afterGapIndex_ - lastIndex_),
             tickUs);
      }
      // Scans logged since the mark with values noise changed took indexes too.
      const int64_t due = std::llround(slots) - 1 - (s.index - afterGapIndex_);
      // A mark counting more than the timer had put the loss before scans
      // that came ahead of it: those are logged late, and the loss they show
      // later is inside this mark.
      if (pendingGap_.scansMissing > due + 1) {
        earlyCount_ = pendingGap_.scansMissing - due;
        ++report_.wrongIndex;
      }
      if (std::abs(due - pendingGap_.scansMissing) > 1)
        note("gap of " + std::to_string(pendingGap_.scansMissing) + " where the timer had " +
                 std::to_string(due),
             tickUs);
      report_.gapCountsVsTimer =
          std::max(report_.gapCountsVsTimer, std::abs(due - pendingGap_.scansMissing));
    } else if (std::abs(slots - double(s.index - lastIndex_)) > 0.5) {
      ++report_.wrongIndex;
      note("index +" + std::to_string(s.index - lastIndex_) + " where the timer had " +
               std::to_string(slots),
           tickUs);
    }
  }

  // A value that is not the scan the logger's index says: the scan it stands
  // for counts as taken. A scan carries no checksum, so a bit flipped on a
  // noisy line within its data is beyond any framing check; anything else is
  // the logger's fault.
  void wrongValue(const Scan& s) {
    const int64_t serial = lastSerial_ + 1;
    while (!unsettled_.empty() && int64_t(unsettled_.front().serial) < serial)
      unsettled_.pop_front();
    const bool made = !unsettled_.empty() && int64_t(unsettled_.front().serial) == serial;
    const int64_t tickUs = made ? unsettled_.front().tickUs : lastTickUs_;
    // From the timer tick until its last byte is on the line.
    const int64_t onTheLineUs = tickUs + int64_t(rec_.scanInterval * 2e6);
    // After a gap the scan it stands for is not known: the line's state when
    // it was read tells.
    const int64_t readUs = k73::VirtualBench::active()->nowUs();
    const bool noisy = gapOpen_
                           ? line_.noisyWithin(readUs - int64_t(rec_.scanInterval * 2e6), readUs)
                           : made && line_.noisyWithin(tickUs, onTheLineUs);
    if (noisy) {
      ++report_.changedOnTheLine;
    } else {
      ++report_.wrongValues;
      note("wrong value at index " + std::to_string(s.index), tickUs);
    }
    if (made && !gapOpen_) {
      unsettled_.pop_front();
      lastSerial_ = serial;
      lastTickUs_ = tickUs;
      lastIndex_ = s.index;
    }
  }

  bool noisyNext() const {
    for (const Made& m : unsettled_) {
      if (int64_t(m.serial) <= lastSerial_) continue;
      if (int64_t(m.serial) > lastSerial_ + 1) break;
      return line_.noisyWithin(m.tickUs, m.tickUs + int64_t(rec_.scanInterval * 2e6));
    }
    return false;
  }

  void note(const std::string& what, int64_t tUs) {
    if (report_.anomalies.size() >= 20) return;
    char at[64];
    std::snprintf(at, sizeof at, "logged at %.3f s, made at %.3f s: ",
                  double(k73::VirtualBench::active()->nowUs()) / 1e6, tUs / 1e6);
    report_.anomalies.push_back(at + what);
  }

  void trace(const std::string& what) const {
    const double nowS = double(k73::VirtualBench::active()->nowUs()) / 1e6;
    if (nowS >= traceFromS_ && nowS <= traceToS_)
      std::fprintf(stderr, "%.3f %s\n", nowS, what.c_str());
  }

  double traceFromS_ = 1, traceToS_ = 0;
  SoakReport& report_;
  const DeviceRecord& rec_;
  const FaultLine& line_;
  std::deque<Made> unsettled_;
  int64_t lastSerial_ = -1;
  int64_t lastTickUs_ = 0;
  int64_t lastIndex_ = 0;
  bool gapOpen_ = false;
  GapMark pendingGap_{};
  int64_t afterGapIndex_ = -1;  // the first scan logged after the gap mark
  int64_t earlyCount_ = 0;      // of a gap mark placed before scans it did not hold
};

}  // namespace

SoakReport runSoak(const SoakConfig& config) {
  const auto wallStart = std::chrono::steady_clock::now();
  SoakReport report;
  report.seed = config.seed;
  report.hours = config.hours;
  report.remote = config.remote;
  report.rssStartKb = residentKb();

  const double seconds = config.hours * 3600;
  const std::vector<Fault> faults =
      drawSchedule(config.seed, seconds, config.meanFaultSpacingS, config.remote);
  for (const Fault& f : faults) ++report.faults[int(f.kind)];

  k73::Model model = k73::Model::demo();
  model.stampScans = true;
  k73::Converter converter(model);
  k73::VirtualBench bench;
  FaultLine line(converter, bench, faults, config.seed);
  Rfc2217Server server(bench, line, faults, config.seed);
  if (config.remote) {
    serveRemotely(kCom, &server);
  } else {
    bench.attach(kCom, &line);
    bench.setLine(kCom, [&line](int64_t tUs) { return line.stateAt(tUs); });
  }
  SoakHost host(bench);
  DllEntryPoint(nullptr, 1, nullptr);

  // One channel, 24-bit words, at the shortest interval the converter serves.
  LogOptions opts;
  opts.comNumber = kCom;
  opts.bytesPerConversion = 3;
  opts.rate = 1000;  // the fastest conversions and the shortest filter settling:
  opts.filter = 2;   // about 25 scans a second
  RunSetup setup;
  std::string error;
  if (!buildRunSetup(opts, &setup, &error)) {
    std::fprintf(stderr, "k73soak: %s\n", error.c_str());
    return report;
  }
  bench.limitInputQueue(kCom, setup.rec.inQueueSize);

  Accountant accountant(report, setup.rec, line);
  accountant.traceFrom(std::getenv("K73SOAK_TRACE"));
  converter.recordScans([&accountant](const k73::MadeScan& s) { accountant.made(s); });
  for (const Fault& f : faults) {
    const int64_t fromMs = f.fromUs / 1000, toMs = f.toUs / 1000;
    if (f.kind == FaultKind::HostStalled || f.kind == FaultKind::QueueOverflow) {
      host.at(fromMs, [&bench, toMs] { bench.sleepUntilMs(toMs); });
    }
  }
  host.stopAt(int64_t(seconds * 1000));
  // The bench and the converter keep histories for short tests; a day's
  // would swamp the memory figures.
  for (int64_t ms = 60'000; ms < seconds * 1000; ms += 60'000) {
    host.at(ms, [&bench, &converter] {
      bench.forgetWire();
      converter.forgetPackets();
      converter.takeReportLines();
    });
  }

  const DriverCalls driver = linkedDriver();
  ScanRun run(driver, host, &setup.rec, RunLimits{}, accountant);
  if (run.prepare(true).result == PrepareResult::Ready) run.run();
  report.intervalS = setup.rec.scanInterval;
  accountant.finish();
  DllEntryPoint(nullptr, 0, nullptr);
  serveRemotely(kCom, nullptr);
  report.server = server.tally();

  report.rssEndKb = residentKb();
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  return report;
}

std::string formatReport(const SoakReport& r) {
  std::string out;
  char line[160];
  auto row = [&](const char* what, long long n, const char* note = "") {
    std::snprintf(line, sizeof line, "| %-50s | %9lld | %s |\n", what, n, note);
    out += line;
  };
  std::snprintf(
      line, sizeof line,
      "seed %llu, %.2f h simulated at %.6f s a scan (one channel), %s port, %.1f s wall\n",
      static_cast<unsigned long long>(r.seed), r.hours, r.intervalS,
      r.remote ? "remote (RFC 2217)" : "local", r.wallSeconds);
  out += line;
  int64_t total = 0;
  out += "faults:";
  for (int k = 0; k < int(FaultKind::Count); ++k) {
    std::snprintf(line, sizeof line, " %s %lld;", faultName(FaultKind(k)),
                  static_cast<long long>(r.faults[k]));
    out += line;
    total += r.faults[k];
  }
  std::snprintf(line, sizeof line, " %lld in all\n\n", static_cast<long long>(total));
  out += line;
  out += "| | | |\n|---|---:|---|\n";
  row("scans the converter made", r.scansMade);
  row("logged with the right values", r.loggedRight);
  row("inside marked gaps", r.insideGaps);
  row("  of them made during a line fault", r.insideGapsDamaged);
  row("  of them marked before scans that came first", r.insideEarlyGaps,
      "their scans logged late");
  row("gap marks", r.gaps, "failures below; one gap may hold several");
  row("gap marks whose count is not the index jump", r.gapCountsOff, "must be 0");
  row("largest gap count off the converter's timer", r.gapCountsVsTimer, "at most 1");
  for (const auto& [why, n] : r.failures) {
    const std::string what = "  failures seen: " + why;
    row(what.c_str(), n);
  }
  if (r.remote) {
    row("connections the server accepted", r.server.connections);
    row("  closed by the server", r.server.hungUp, "gone, unplugged, cut off");
    row("connections the server refused", r.server.refused);
    row("rates the server answered late", r.server.lateRates);
    row("  later than the open's deadline", r.server.ratesPastDeadline);
    row("Telnet commands split across reads", r.server.splitCommands);
    row("connections cut off inside a command", r.server.cutOff);
  }
  row("unread when the run stopped", r.unreadAtStop, "at most 2");
  row("values changed by line noise inside a scan", r.changedOnTheLine, "no checksum to catch");
  row("wrong values in the log", r.wrongValues, "must be 0");
  row("logged twice", r.loggedTwice, "must be 0");
  row("lost outside a gap", r.lostOutsideGaps, "must be 0");
  row("logged at another index than the timer's", r.wrongIndex, "must be 0");
  row("resident memory at the start, kB", r.rssStartKb);
  row("resident memory at the end, kB", r.rssEndKb);
  for (const std::string& a : r.anomalies) out += "  " + a + "\n";
  out += r.clean() ? "every scan accounted for\n" : "FAILED: see the rows marked must be\n";
  return out;
}

}  // namespace k73soak
