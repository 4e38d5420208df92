#include "report.h"

namespace bench {

namespace {

constexpr double kTickMs = 1000.0 / 18.2;
constexpr int kSignOnTicks = 5 + 2 + 2 + 5 + 4;  // the sign-on's five tick waits
constexpr int kSignOnTickWaits = 5;
constexpr double kSignOnQuietMs = 2 * 1000.0;  // after the 0x03 and after the 0x88
constexpr double kRateShare = 0.95;
constexpr double kCpuShare = 0.05;
constexpr double kConsoleCpuShare = 0.005;
constexpr long kResidentLimitKiB = 10 * 1024;
constexpr double kMedianLatencyUs = 1000;

Verdict verdict(bool pass) {
  return pass ? Verdict::Pass : Verdict::Fail;
}

std::string percent(double share) {
  return fixed(share * 100, share < 0.1 ? 2 : 1) + " %";
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

Table report(const Results& r) {
  Table t;
  // The table, in the order a reader meets the figures.
  const double spinShare = r.spin.conversions > 0 ? r.spin.cpuShare : 1.0;
  if (!r.smoke) addSignOn(t, r.signOn, spinShare);
  addPolled(t, r.polled, r.spin);
  if (!r.smoke) {
    addScans(t, "Scans/s at the shortest interval CheckScanTime accepts (6 channels, paced)",
             r.paced, r.paced.intervalS > 0 ? 1 / r.paced.intervalS : 0,
             "1/" + fixed(r.paced.intervalS * 1000, 3) +
                 " ms = " + fixed(r.paced.intervalS > 0 ? 1 / r.paced.intervalS : 0, 3) + "/s");
    addScans(t, "Scans/s unpaced (k73sim --unpaced)", r.unpaced, r.bulk / r.scanBytes,
             fixed(r.bulk / r.scanBytes, 0) + "/s pty ceiling");
    if (r.unpaced.scans > 1) {
      t.add({"  the same against the one-byte pump", fixed(r.unpaced.perSecond, 0) + "/s",
             fixed(r.oneByte / r.scanBytes, 0) + "/s one-byte ceiling",
             ratioText(r.unpaced.perSecond, r.oneByte / r.scanBytes), "", Verdict::Info});
      t.add({"  CPU during the unpaced run: bench thread / k73sim",
             percent(r.unpaced.cpuShare) + " / " + percent(r.unpaced.simCpuShare), "", "", "",
             Verdict::Info});
    }
  }
  addPump(t, r.bulk, r.oneByte, r.oneByteReads, r.scanBytes);
  addLatency(t, "Latency, reply's last byte to GetConversion returning", r.conversionLatency);
  addLatency(t, "Latency, scan's last byte to GetOneScan returning", r.scanLatency);

  if (r.polled.conversions > 0) {
    t.add({"CPU in polled mode (driver)", percent(r.polled.cpuShare),
           r.spin.conversions > 0 ? "spinning " + percent(spinShare) : "",
           r.spin.conversions > 0 ? ratioText(r.polled.cpuShare, spinShare) : "", "< 5 % of a core",
           verdict(r.polled.cpuShare < kCpuShare)});
  }
  if (r.spin.conversions > 0) {
    t.add({"CPU in polled mode, spinning wait (baseline)", percent(r.spin.cpuShare), "", "", "",
           Verdict::Info});
  }
  if (!r.smoke && r.paced.scans > 1) {
    t.add({"CPU in a scan run through the driver", percent(r.paced.cpuShare),
           "spinning " + percent(spinShare), ratioText(r.paced.cpuShare, spinShare),
           "< 5 % of a core", verdict(r.paced.cpuShare < kCpuShare)});
    t.add({"  k73sim's CPU while streaming paced", percent(r.paced.simCpuShare), "", "", "",
           Verdict::Info});
  }
  if (!r.smoke) {
    if (!r.console.ok) {
      t.add({"Scan run through tovcon", "failed: " + r.console.problem, "", "", "",
             Verdict::NotMeasured});
    } else {
      const bool clean =
          r.console.wrongLines == 0 && r.console.fileLines >= r.console.scansOnScreen;
      const double limit = 1 / r.console.intervalS;
      t.add({"Scans/s through tovcon's scan screen",
             fixed(r.console.perSecond, 3) + "/s (" + std::to_string(r.console.fileLines) +
                 " file lines, " + std::to_string(r.console.wrongLines) + " wrong)",
             fixed(limit, 3) + "/s", ratioText(r.console.perSecond, limit), ">= 0.95, none lost",
             verdict(r.console.perSecond >= kRateShare * limit && clean)});
      t.add({"CPU in a scan run through tovcon (tmux, keys)", percent(r.console.cpuShare),
             "spinning " + percent(spinShare), ratioText(r.console.cpuShare, spinShare),
             "< 0.5 % of a core", verdict(r.console.cpuShare < kConsoleCpuShare)});
      t.add(
          {"tovcon peak resident memory (VmHWM) in a scan run",
           fixed(r.console.peakResidentKiB / 1024.0, 1) + " MiB", "10 MiB",
           ratioText(r.console.peakResidentKiB, kResidentLimitKiB), "< 10 MiB",
           verdict(r.console.peakResidentKiB > 0 && r.console.peakResidentKiB < kResidentLimitKiB),
           false});
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
  if (r.smoke) t.note("Smoke mode: pump, latencies and a 1 s polled run only.");
  if (!r.smoke && !r.soak) {
    t.note("Paced scans ran " + fixed(r.durations.scanS, 0) + " s through the driver and " +
           fixed(r.durations.consoleS, 0) +
           " s through tovcon; BENCH_LONG=1 runs 10,000 paced scans.");
  }

  return t;
}

}  // namespace bench
