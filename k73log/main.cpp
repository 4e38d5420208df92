// k73log: logs a converter's scans with times, unattended, until a count, a
// duration or a stop request; reconnects after failures and marks the gaps.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "driver_calls.h"
#include "fleet.h"
#include "log_writer.h"
#include "logger_platform.h"
#include "options.h"
#include "platform_host.h"
#include "port_check.h"
#include "progress.h"
#include "run_setup.h"
#include "scan_run.h"
#include "service_host.h"

namespace {

using namespace k73log;

constexpr int kExitUnreachable = 1;
constexpr int kExitUsage = 2;

int usageError(const std::string& message) {
  std::fprintf(stderr, "k73log: %s\n", message.c_str());
  return kExitUsage;
}

// Scans go to the log and the progress line; notices only to the latter.
class LogSink : public ScanSink {
 public:
  LogSink(LogWriter& writer, Progress& progress, LogHost& host)
      : writer_(writer), progress_(progress), host_(host) {}
  bool scan(const Scan& scan) override {
    writer_.scan(scan);
    progress_.scan(scan, host_.monotonicMs());
    return writer_.ok();
  }
  void gap(const GapMark& gap) override {
    writer_.gap(gap);
    progress_.gap(gap);
  }
  void notice(const std::string& text) override { progress_.notice(text); }

 private:
  LogWriter& writer_;
  Progress& progress_;
  LogHost& host_;
};

// Scans to the publisher's spool first, where they get their seq, then to
// the log.
class TeeSink : public ScanSink {
 public:
  TeeSink(ScanSink& log, Publisher& publisher) : log_(log), publisher_(publisher) {}
  bool scan(const Scan& scan) override {
    Scan numbered = scan;
    return publisher_.spoolScan(&numbered) && log_.scan(numbered);
  }
  void gap(const GapMark& gap) override { log_.gap(gap), publisher_.gap(gap); }
  void notice(const std::string& text) override { log_.notice(text), publisher_.notice(text); }

 private:
  ScanSink& log_;
  Publisher& publisher_;
};

// The publisher and the converter's link in the state directory, when asked
// for; false with the reason.
bool openFleet(const LogOptions& opts, std::unique_ptr<Publisher>* publisher, std::string* error) {
  const std::string id =
      opts.publish.id.empty() ? defaultLoggerId(opts.comNumber, hostName()) : opts.publish.id;
  if (opts.publish.enabled) {
    *publisher = makePublisher(opts.publish, id, error);
    if (!*publisher) return false;
  }
  if (opts.publish.device.empty()) return true;
  std::string dir;
  return stateDirectory(opts.publish, id, &dir, error) &&
         linkDevice(dir, opts.comNumber, opts.publish.device, error);
}

int logScans(const LogOptions& opts) {
  RunSetup setup;
  std::string error;
  if (!buildRunSetup(opts, &setup, &error)) return usageError(error);
  const int scanType = setup.rec.scanType;
  OutputFile out;
  if (!openOutput(opts, csvColumnRow(valueColumns(scanType, setup.channels)), &out, &error)) {
    return usageError(error);
  }
  DriverCalls driver;
  if (!loadDriver(&driver, &error)) {
    std::fprintf(stderr, "k73log: %s\n", error.c_str());
    return kExitUnreachable;
  }
  std::unique_ptr<Publisher> publisher;
  if (!openFleet(opts, &publisher, &error)) {
    std::fprintf(stderr, "k73log: %s\n", error.c_str());
    return kExitUnreachable;
  }
  notifyReady();

  tov::logger::installStopHandlers();
  PlatformHost platformHost;
  ServiceHost host(platformHost, watchdogPingMs(), notifyWatchdog);
  const bool terminal = tov::logger::stderrIsTerminal();
  const bool shown = !opts.quiet && (terminal || opts.verbose);
  std::unique_ptr<LogWriter> writer = makeLogWriter(opts.format, out.file);
  Progress progress(stderr, terminal, shown, 0);
  LogSink logSink(*writer, progress, host);
  std::unique_ptr<TeeSink> tee;
  if (publisher) tee = std::make_unique<TeeSink>(logSink, *publisher);
  ScanSink& sink = tee ? static_cast<ScanSink&>(*tee) : logSink;
  RunLimits limits{opts.count, opts.durationS, !opts.noReconnect};
  ScanRun run(driver, host, &setup.rec, limits, sink);

  const int64_t startUtcMs = host.utcMs();
  Prepared prepared = run.prepare(setup.shortestInterval);
  // A service started before its converter waits for it, with the backoff
  // of a reconnect.
  for (int64_t backoffMs = 1000;
       opts.publish.waitForConverter && prepared.result == PrepareResult::Unreachable;
       backoffMs = std::min<int64_t>(backoffMs * 2, 30000)) {
    sink.notice("no converter answers on COM" + std::to_string(opts.comNumber) + "; next try in " +
                std::to_string(backoffMs / 1000) + " s");
    if (host.sleepUntil(host.monotonicMs() + backoffMs) == Wake::Stop) break;
    prepared = run.prepare(setup.shortestInterval);
  }
  if (prepared.result == PrepareResult::IntervalOutOfLimits) {
    char limitsText[160];
    std::snprintf(limitsText, sizeof limitsText,
                  "--interval takes %.6f to %.6f s for this scan on this converter",
                  prepared.minIntervalS, prepared.maxIntervalS);
    return usageError(limitsText);
  }
  if (prepared.result != PrepareResult::Ready) {
    // Why, where this side can tell: no port file, a link to nothing, a
    // remote host that does not answer.
    const std::string trouble = tov::ports::troubleWith(opts.comNumber);
    std::fprintf(stderr, "k73log: no converter answers on COM%d%s%s\n", opts.comNumber,
                 trouble.empty() ? "" : ": ", trouble.c_str());
    progress.summary(RunTotals{});
    return kExitUnreachable;
  }
  if (prepared.averagingReduced && !opts.quiet) {
    std::fprintf(stderr, "k73log: averaging reduced to %u to fit the interval\n",
                 setup.rec.remoteAvg);
  }
  progress = Progress(stderr, terminal, shown, setup.rec.scanInterval);
  const RunInfo info = describeRun(setup.rec, setup.channels, startUtcMs);
  writer->begin(info, !opts.noHeader, out.empty);
  if (publisher) publisher->begin(info);

  RunTotals totals = run.run();
  // The last lines reach the file only at the close (or the flush).
  const bool closed = out.standardOutput ? std::fflush(out.file) == 0 : std::fclose(out.file) == 0;
  if (!closed && totals.exitCode == 0) {
    totals.exitCode = 1;
    totals.failure = "cannot write the log";
  }
  notifyStopping();
  if (publisher) publisher->finish(totals);
  if (totals.exitCode != 0) std::fprintf(stderr, "k73log: %s\n", totals.failure.c_str());
  progress.summary(totals);
  tov::logger::runEnded();
  return totals.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  LogOptions opts;
  std::string error;
  switch (parseOptions(argc, argv, &opts, &error)) {
    case Command::Help:
      std::fputs(usageText(), stdout);
      return 0;
    case Command::Version:
      std::printf("k73log %s\n", K73_VERSION);
      return 0;
    case Command::UsageError:
      return usageError(error);
    case Command::Run:
      break;
  }
  return logScans(opts);
}
