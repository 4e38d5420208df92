// k73bench: speed, latency, CPU and memory of the driver and the console
// program against k73sim on pseudo-terminals, each figure beside its physical
// or protocol limit, printed as one table.
//
//   k73bench            the full run (a few minutes)
//   k73bench --smoke    a few seconds: the pump, the latencies, a short polled run
//   BENCH_LONG=1        paced scans through the driver run 10,000 scans (a soak
//                       of about 35 minutes at the shortest interval)
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "measure.h"
#include "pty_pair.h"
#include "remote_runs.h"
#include "runs.h"
#include "table.h"

namespace bench {

namespace {

constexpr double kTickMs = 1000.0 / 18.2;
constexpr int kSignOnTicks = 5 + 2 + 2 + 5 + 4;  // the sign-on's five tick waits
constexpr int kSignOnTickWaits = 5;
constexpr double kSignOnQuietMs = 2 * 1000.0;  // after the 0x03 and after the 0x88
constexpr double kRateShare = 0.95;
constexpr double kCpuShare = 0.05;
constexpr double kConsoleCpuShare = 0.10;
constexpr long kResidentLimitKiB = 10 * 1024;
constexpr double kMedianLatencyUs = 1000;

Verdict verdict(bool pass) {
  return pass ? Verdict::Pass : Verdict::Fail;
}

std::string percent(double share) {
  return fixed(share * 100, share < 0.1 ? 2 : 1) + " %";
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

void printMachine() {
  utsname u{};
  uname(&u);
  std::printf("Machine: %ld CPUs (nproc), %s, kernel %s %s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
              cpuModel().c_str(), u.sysname, u.release);
}

// Runs one stage with a line on stderr, so a long run shows where it is.
template <class F>
auto stage(const char* what, F run) {
  std::fprintf(stderr, "k73bench: %s...\n", what);
  return run();
}

struct Options {
  bool smoke = false;
  bool soak = false;
};

Durations durationsFor(const Options& o) {
  Durations d;
  if (o.smoke) {
    d.pumpS = 0.2;
    d.polledS = 1.0;
    d.latencySamples = 50;
  }
  if (o.soak) d.scanCount = 10000;
  return d;
}

void addPump(Table& t, double bulk, double oneByte, double oneByteReads, int scanBytes) {
  t.add({"Pseudo-terminal ceiling: raw pump, 4096-byte reads and writes",
         fixed(bulk / 1e6, 1) + " MB/s = " + fixed(bulk / scanBytes, 0) + " scans/s", "", "", "",
         Verdict::Info});
  t.add({"Pseudo-terminal ceiling: raw pump, one byte per read and write",
         fixed(oneByte / 1e6, 2) + " MB/s = " + fixed(oneByte / scanBytes, 0) + " scans/s", "",
         fixed(oneByte / bulk, 3) + " of bulk", "", Verdict::Info});
  t.add(
      {"Pseudo-terminal ceiling: raw pump, 4096-byte writes, one-byte reads",
       fixed(oneByteReads / 1e6, 2) + " MB/s = " + fixed(oneByteReads / scanBytes, 0) + " scans/s",
       "", fixed(oneByteReads / bulk, 3) + " of bulk", "", Verdict::Info});
}

void addLatency(Table& t, const char* what, const LatencyResult& r) {
  if (r.samples == 0) {
    t.add({what, "no samples", "", "", "median < 1 ms", Verdict::NotMeasured});
    return;
  }
  t.add({what,
         "median " + fixed(r.medianUs, 0) + " us, p99 " + fixed(r.p99Us, 0) + " us (" +
             std::to_string(r.samples) + " replies)",
         "1 ms", ratioText(r.medianUs, kMedianLatencyUs), "median < 1 ms",
         verdict(r.failures == 0 && r.medianUs < kMedianLatencyUs)});
}

void addSignOn(Table& t, const SignOnResult& r, double spinShare) {
  const double limitMs = kSignOnQuietMs + kSignOnTicks * kTickMs;
  const double shortestMs = kSignOnQuietMs + (kSignOnTicks - kSignOnTickWaits) * kTickMs;
  const double ms = r.medianS * 1000;
  if (r.succeeded == 0) {
    t.add({"Sign-on duration", "failed", "", "", "", Verdict::NotMeasured});
    return;
  }
  t.add({"Sign-on duration (median of " + std::to_string(r.succeeded) + ")", fixed(ms, 0) + " ms",
         fixed(limitMs, 0) + " ms mandated waits", ratioText(ms, limitMs),
         "<= 1.05, >= " + fixed(shortestMs, 0) + " ms",
         verdict(r.succeeded == r.attempts && ms <= 1.05 * limitMs && ms >= shortestMs)});
  t.add({"CPU while signing on", percent(r.cpuShare), "spinning " + percent(spinShare),
         ratioText(r.cpuShare, spinShare), "< 5 % of a core", verdict(r.cpuShare < kCpuShare)});
}

void addPolled(Table& t, const PolledResult& p, const PolledResult& spin) {
  if (p.conversions == 0) {
    t.add({"Polled conversions", "none", "", "", "", Verdict::NotMeasured});
    return;
  }
  const std::string lost = p.failures || p.wrongValues
                               ? ", " + std::to_string(p.failures) + " failed, " +
                                     std::to_string(p.wrongValues) + " wrong"
                               : ", none lost";
  t.add({"Polled conversions/s, 9600 baud, 24-bit, 1 average", fixed(p.perSecond, 1) + "/s" + lost,
         fixed(p.simLimit, 1) + "/s k73sim limit", ratioText(p.perSecond, p.simLimit),
         ">= 0.95, none lost",
         verdict(p.perSecond >= kRateShare * p.simLimit && !p.failures && !p.wrongValues)});
  t.add({"  the same against a real 9600-baud line (request bytes too)",
         fixed(p.perSecond, 1) + "/s", fixed(p.linkLimit, 1) + "/s link limit",
         ratioText(p.perSecond, p.linkLimit), "", Verdict::Info});
  if (spin.conversions > 0) {
    t.add({"  spinning wait (naive request-and-spin loop, same port)",
           fixed(spin.perSecond, 1) + "/s", fixed(p.simLimit, 1) + "/s k73sim limit",
           ratioText(spin.perSecond, p.simLimit), "", Verdict::Info});
  }
}

void addScans(Table& t, const char* what, const ScanResult& s, double limit,
              const std::string& limitText) {
  if (s.scans < 2) {
    t.add({what, "no scans (lastError " + std::to_string(s.lastError) + ")", limitText, "", "",
           Verdict::NotMeasured});
    return;
  }
  const bool clean = !s.failures && !s.wrongValues && !s.missing;
  const std::string lost = clean ? ", none lost"
                                 : ", " + std::to_string(s.failures) + " failed, " +
                                       std::to_string(s.wrongValues) + " wrong, " +
                                       std::to_string(s.missing) + " missing";
  t.add({what,
         fixed(s.perSecond, s.perSecond < 100 ? 3 : 0) + "/s (" + std::to_string(s.scans) +
             " scans" + lost + ")",
         limitText, ratioText(s.perSecond, limit), ">= 0.95, none lost",
         verdict(s.perSecond >= kRateShare * limit && clean)});
}

}  // namespace

int run(const Options& options) {
  const Durations d = durationsFor(options);
  Driver drv(k73test::binPath("libtovdrv.so"));
  if (!drv.ok()) {
    std::fprintf(stderr, "k73bench: cannot bind the driver: %s\n", drv.lib.error().c_str());
    return 2;
  }
  const DeviceRecord rec = benchRecord();
  const int scanBytes = rec.pointsPerScan * rec.bytesPerConversion + 2;
  Table t;

  const double bulk =
      stage("pseudo-terminal pump", [&] { return pumpBytesPerSecond(4096, 4096, d.pumpS); });
  const double oneByte = stage("one-byte pump", [&] { return pumpBytesPerSecond(1, 1, d.pumpS); });
  const double oneByteReads =
      stage("one-byte-read pump", [&] { return pumpBytesPerSecond(4096, 1, d.pumpS); });

  const LatencyResult convLatency =
      stage("conversion latency", [&] { return conversionLatency(drv, d.latencySamples); });
  const LatencyResult scanLat =
      stage("scan latency", [&] { return scanLatency(drv, d.latencySamples); });

  const PolledResult polled =
      stage("polled conversions", [&] { return runPolled(drv, rec, d.polledS, false); });
  PolledResult spin;
  SignOnResult signOn;
  ScanResult paced, unpaced;
  ConsoleResult console;
  double interval = 0;
  if (!options.smoke) {
    spin = stage("spinning polled baseline", [&] { return runPolled(drv, rec, d.spinS, true); });
    signOn = stage("sign-ons", [&] { return timeSignOns(drv, rec, d.signOns); });
    paced = stage("paced scans", [&] { return runScans(drv, rec, d.scanS, d.scanCount, false); });
    unpaced = stage("unpaced scans", [&] { return runScans(drv, rec, d.unpacedS, 0, true); });
    interval = paced.intervalS;
    if (interval > 0) {
      console = stage("scans through tovcon",
                      [&] { return runConsoleScan(K73_BIN_DIR, interval, d.consoleS); });
    }
  }

  // The table, in the order a reader meets the figures.
  const double spinShare = spin.conversions > 0 ? spin.cpuShare : 1.0;
  if (!options.smoke) addSignOn(t, signOn, spinShare);
  addPolled(t, polled, spin);
  if (!options.smoke) {
    addScans(t, "Scans/s at the shortest interval CheckScanTime accepts (6 channels, paced)", paced,
             paced.intervalS > 0 ? 1 / paced.intervalS : 0,
             "1/" + fixed(paced.intervalS * 1000, 3) +
                 " ms = " + fixed(paced.intervalS > 0 ? 1 / paced.intervalS : 0, 3) + "/s");
    addScans(t, "Scans/s unpaced (k73sim --unpaced)", unpaced, bulk / scanBytes,
             fixed(bulk / scanBytes, 0) + "/s pty ceiling");
    if (unpaced.scans > 1) {
      t.add({"  the same against the one-byte pump", fixed(unpaced.perSecond, 0) + "/s",
             fixed(oneByte / scanBytes, 0) + "/s one-byte ceiling",
             ratioText(unpaced.perSecond, oneByte / scanBytes), "", Verdict::Info});
      t.add({"  CPU during the unpaced run: bench thread / k73sim",
             percent(unpaced.cpuShare) + " / " + percent(unpaced.simCpuShare), "", "", "",
             Verdict::Info});
    }
  }
  if (!options.smoke) addRemoteRows(t, drv, d.polledS / 2, d.scanS / 2);
  addPump(t, bulk, oneByte, oneByteReads, scanBytes);
  addLatency(t, "Latency, reply's last byte to GetConversion returning", convLatency);
  addLatency(t, "Latency, scan's last byte to GetOneScan returning", scanLat);

  if (polled.conversions > 0) {
    t.add({"CPU in polled mode (driver)", percent(polled.cpuShare),
           spin.conversions > 0 ? "spinning " + percent(spinShare) : "",
           spin.conversions > 0 ? ratioText(polled.cpuShare, spinShare) : "", "< 5 % of a core",
           verdict(polled.cpuShare < kCpuShare)});
  }
  if (spin.conversions > 0) {
    t.add({"CPU in polled mode, spinning wait (baseline)", percent(spin.cpuShare), "", "", "",
           Verdict::Info});
  }
  if (!options.smoke && paced.scans > 1) {
    t.add({"CPU in a scan run through the driver", percent(paced.cpuShare),
           "spinning " + percent(spinShare), ratioText(paced.cpuShare, spinShare),
           "< 5 % of a core", verdict(paced.cpuShare < kCpuShare)});
    t.add({"  k73sim's CPU while streaming paced", percent(paced.simCpuShare), "", "", "",
           Verdict::Info});
  }
  if (!options.smoke) {
    if (!console.ok) {
      t.add({"Scan run through tovcon", "failed: " + console.problem, "", "", "",
             Verdict::NotMeasured});
    } else {
      const bool clean = console.wrongLines == 0 && console.fileLines >= console.scansOnScreen;
      const double limit = 1 / console.intervalS;
      t.add({"Scans/s through tovcon's scan screen",
             fixed(console.perSecond, 3) + "/s (" + std::to_string(console.fileLines) +
                 " file lines, " + std::to_string(console.wrongLines) + " wrong)",
             fixed(limit, 3) + "/s", ratioText(console.perSecond, limit), ">= 0.95, none lost",
             verdict(console.perSecond >= kRateShare * limit && clean)});
      t.add({"CPU in a scan run through tovcon (tmux, keys)", percent(console.cpuShare),
             "spinning " + percent(spinShare), ratioText(console.cpuShare, spinShare),
             "< 10 % of a core", verdict(console.cpuShare < kConsoleCpuShare)});
      t.add({"tovcon peak resident memory (VmHWM) in a scan run",
             fixed(console.peakResidentKiB / 1024.0, 1) + " MiB", "10 MiB",
             ratioText(console.peakResidentKiB, kResidentLimitKiB), "< 10 MiB",
             verdict(console.peakResidentKiB > 0 && console.peakResidentKiB < kResidentLimitKiB)});
    }
  }

  t.note(
      "Ratio is measured / limit. CPU is user + system time per second of wall time, "
      "as a share of one core; its ratio is against the spinning baseline of the same run.");
  t.note(
      "Sign-on limit: the two 1000 ms quiet periods plus 18 ticks of 1/18.2 s; a wait of n "
      "ticks lasts between n-1 and n tick lengths, so anything under " +
      fixed(kSignOnQuietMs + (kSignOnTicks - kSignOnTickWaits) * kTickMs, 0) +
      " ms would be a wait cut short.");
  t.note(
      "Polled limit used for the target: k73sim's own, per conversion 1 ms processing + "
      "remoteAvg conversion periods + (1 + W) reply bytes of 10 bits at 9600 baud. The "
      "pseudo-terminal carries the host's 3 request bytes at once, so the real-line limit "
      "(3 more byte times) is shown for information only.");
  t.note(
      "Scan loss: every scan's six values and both markers are checked; paced, the count "
      "must also match one scan per interval of the converter's timer.");
  t.note(
      "Latency: a peer thread in the bench plays the converter on a raw pseudo-terminal that "
      "the dlopen'ed driver holds as its port (SetComHandle); it holds the last byte back 2 ms, "
      "stamps CLOCK_MONOTONIC, writes it; the caller stamps the export's return.");
  if (options.smoke) t.note("Smoke mode: pump, latencies and a 1 s polled run only.");
  if (!options.smoke && !options.soak) {
    t.note("Paced scans ran " + fixed(d.scanS, 0) + " s through the driver and " +
           fixed(d.consoleS, 0) + " s through tovcon; BENCH_LONG=1 runs 10,000 paced scans.");
  }

  printMachine();
  std::fputs(t.render().c_str(), stdout);
  std::printf("\n%d target(s) missed, %d figure(s) not measured.\n", t.failures(), t.unmeasured());
  return t.unmeasured() > 0 ? 1 : 0;
}

}  // namespace bench

int main(int argc, char** argv) {
  bench::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      options.smoke = true;
    } else {
      std::fprintf(stderr,
                   "Usage: k73bench [--smoke]\n"
                   "Measures the driver and tovcon against k73sim and prints one table.\n"
                   "BENCH_LONG=1 makes the paced scan run a 10,000-scan soak.\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  const char* longRun = std::getenv("BENCH_LONG");
  options.soak = longRun && std::strcmp(longRun, "1") == 0 && !options.smoke;
  return bench::run(options);
}
