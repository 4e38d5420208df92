// The logger's run loop against the simulated converter in virtual time:
// gap accounting against the converter's timer, reconnect with backoff, the
// end of a run inside a gap, the duration, and the stop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "converter.h"
#include "run_info.h"
#include "run_setup.h"
#include "scan_run.h"
#include "settings_file.h"
#include "virtual_bench.h"

namespace {

using namespace k73log;

constexpr int64_t kUtcAtZeroMs = 1'800'000'000'000;

DriverCalls linkedDriver() {
  DriverCalls calls;
#define K73LOG_LINK(name) calls.name = &::name;
  TOVDRV_EXPORTS(K73LOG_LINK, K73LOG_LINK)
#undef K73LOG_LINK
  return calls;
}

// The bench's clock as both clocks; scheduled actions (a cable pulled, a
// stop request) happen inside the run's own waits.
class VirtualHost : public LogHost {
 public:
  explicit VirtualHost(k73::VirtualBench& bench) : bench_(bench) {}

  void at(int64_t ms, std::function<void()> action) { actions_.emplace(ms, std::move(action)); }
  void stopAt(int64_t ms) { stopAtMs_ = ms; }

  int64_t monotonicMs() override { return bench_.nowMs(); }
  int64_t utcMs() override { return kUtcAtZeroMs + bench_.nowMs(); }
  bool stopRequested() override {
    runDue();
    return bench_.nowMs() >= stopAtMs_;
  }
  Wake waitForInput(TovHandle port, int64_t deadlineMs) override {
    bench_.waitForInput(port, capped(deadlineMs));
    return after();
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
    return d;
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

struct Notice {
  int64_t ms;
  std::string text;
};

class RecordingSink : public ScanSink {
 public:
  std::vector<Scan> scans;
  std::vector<GapMark> gaps;
  std::vector<size_t> gapBeforeScan;  // scans written before each gap mark
  std::vector<Notice> notices;
  k73::VirtualBench* bench = nullptr;

  bool scan(const Scan& s) override {
    scans.push_back(s);
    return true;
  }
  void gap(const GapMark& g) override {
    gaps.push_back(g);
    gapBeforeScan.push_back(scans.size());
  }
  void notice(const std::string& text) override {
    notices.push_back({bench->nowMs(), text});
    if (onNotice) onNotice(text);
  }
  std::function<void(const std::string&)> onNotice;
};

k73::Model quietModel() {
  k73::Model m = k73::Model::demo();
  m.noiseMv = 0;
  m.waveChannel = -1;
  return m;
}

class VirtualRun : public ::testing::Test {
 protected:
  VirtualRun() : converter(quietModel()), host(bench) {
    DllEntryPoint(nullptr, 1, nullptr);
    bench.attach(1, &converter);
    sink.bench = &bench;
  }
  ~VirtualRun() override { DllEntryPoint(nullptr, 0, nullptr); }

  // Channel 0 and channel 2 codes 0-1 every `intervalS`, signed on and fitted.
  ScanRun& prepared(double intervalS, RunLimits limits = {}) {
    LogOptions opts;
    std::string error;
    EXPECT_TRUE(parseChannelList("0,2:0-1", &opts.channels, &error));
    opts.interval = intervalS;
    EXPECT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
    run = std::make_unique<ScanRun>(driver, host, &setup.rec, limits, sink);
    EXPECT_EQ(run->prepare(false).result, PrepareResult::Ready);
    return *run;
  }

  void pullCableBetween(int64_t fromMs, int64_t toMs) {
    host.at(fromMs, [this] { bench.detach(1); });
    host.at(toMs, [this] { bench.attach(1, &converter); });
  }

  // Every scan has the converter's values, and its index is the number of
  // converter intervals since the first scan, to the nearest one.
  void expectScansOnTheTimer() {
    const double intervalMs = setup.rec.scanInterval * 1000;
    const int64_t firstMs = sink.scans.at(0).utcMs;
    for (const Scan& s : sink.scans) {
      ASSERT_EQ(s.millivolts.size(), 3u);
      EXPECT_NEAR(s.millivolts[0], 1234.5, 0.001);
      EXPECT_NEAR(s.millivolts[1], -1500.0, 0.001);
      EXPECT_NEAR(s.millivolts[2], -1490.0, 0.001);
      EXPECT_NEAR(s.index * intervalMs, double(s.utcMs - firstMs), intervalMs / 2) << s.index;
    }
  }

  k73::VirtualBench bench;
  k73::Converter converter;
  VirtualHost host;
  RecordingSink sink;
  DriverCalls driver = linkedDriver();
  RunSetup setup;
  std::unique_ptr<ScanRun> run;
};

TEST_F(VirtualRun, PortGoneAndBackGivesOneGapMarkWhoseCountIsTheJumpInIndex) {
  ScanRun& r = prepared(1.0);
  pullCableBetween(20'000, 130'000);
  host.stopAt(200'000);
  const RunTotals totals = r.run();

  ASSERT_EQ(sink.gaps.size(), 1u);
  const size_t after = sink.gapBeforeScan[0];
  ASSERT_GT(after, 5u);
  ASSERT_LT(after, sink.scans.size() - 5);
  const Scan& last = sink.scans[after - 1];
  const Scan& first = sink.scans[after];
  EXPECT_EQ(sink.gaps[0].scansMissing, first.index - last.index - 1);
  EXPECT_EQ(sink.gaps[0].fromUtcMs, last.utcMs);
  EXPECT_EQ(sink.gaps[0].toUtcMs, first.utcMs);
  EXPECT_GT(sink.gaps[0].scansMissing, 100);
  for (size_t i = 1; i < sink.scans.size(); ++i) {
    if (i != after) {
      EXPECT_EQ(sink.scans[i].index, sink.scans[i - 1].index + 1);
    }
  }
  expectScansOnTheTimer();
  EXPECT_EQ(totals.exitCode, 0);
  EXPECT_EQ(totals.gaps, 1);
  EXPECT_EQ(totals.scansMissing, sink.gaps[0].scansMissing);
  EXPECT_EQ(totals.scansWritten, int64_t(sink.scans.size()));

  // Sign-on retries back off 1 s, doubling, up to 30 s.
  std::vector<std::string> waits;
  for (const Notice& n : sink.notices) {
    const size_t at = n.text.find("next try in ");
    if (at != std::string::npos) waits.push_back(n.text.substr(at + 12));
  }
  const std::vector<std::string> backoff = {"1 s", "2 s", "4 s", "8 s", "16 s", "30 s", "30 s"};
  ASSERT_GE(waits.size(), backoff.size());
  EXPECT_EQ(std::vector<std::string>(waits.begin(), waits.begin() + 7), backoff);

  // The stop request left the converter stopped and the port closed.
  EXPECT_FALSE(converter.scanning());
  EXPECT_EQ(bench.openPortCount(), 0);
}

// Shorter than the interval plus 2 s, the silence never ends the stream:
// its lost scans show only on the converter's timer.
TEST_F(VirtualRun, ScansLostInAShortSilenceAreAGapAndLaterIndexesStayOnTheTimer) {
  ScanRun& r = prepared(1.0);
  bench.setLine(1, [](int64_t tUs) {
    k73::VirtualBench::LineState line;
    line.peerBytesLost = tUs >= 20'500'000 && tUs < 22'800'000;
    return line;
  });
  host.stopAt(40'000);
  r.run();
  ASSERT_EQ(sink.gaps.size(), 1u);
  const size_t after = sink.gapBeforeScan[0];
  EXPECT_GE(sink.gaps[0].scansMissing, 2);
  EXPECT_EQ(sink.gaps[0].scansMissing, sink.scans[after].index - sink.scans[after - 1].index - 1);
  expectScansOnTheTimer();
}

// The host not reading for a while (a stall) while the converter is silent:
// the queue then holds fewer scans than the timer had due. When the stream
// was back before the host looked, the queued scans are the newest and the
// loss lies before them; when the silence outlasts the stall, they are the
// oldest and the loss follows them.
TEST_F(VirtualRun, ScansLostWhileTheHostStalledAreAGapWhereTheTimerPutsThem) {
  ScanRun& r = prepared(1.0);
  bench.setLine(1, [](int64_t tUs) {
    k73::VirtualBench::LineState line;
    line.peerBytesLost = (tUs >= 9'000'000 && tUs < 15'000'000) ||  // ends in the stall
                         (tUs >= 32'000'000 && tUs < 38'000'000);   // starts in it
    return line;
  });
  host.at(10'000, [this] { bench.sleepUntilMs(18'000); });
  host.at(30'000, [this] { bench.sleepUntilMs(36'000); });
  host.stopAt(50'000);
  r.run();

  ASSERT_EQ(sink.gaps.size(), 2u);
  for (size_t g = 0; g < 2; ++g) {
    const size_t after = sink.gapBeforeScan[g];
    EXPECT_EQ(sink.gaps[g].scansMissing, sink.scans[after].index - sink.scans[after - 1].index - 1);
    EXPECT_GE(sink.gaps[g].scansMissing, 5);
  }
  // Before the backlog read at the first stall's end; after the one of the second.
  EXPECT_EQ(sink.scans[sink.gapBeforeScan[0]].utcMs, kUtcAtZeroMs + 18'000);
  EXPECT_GE(sink.scans[sink.gapBeforeScan[1]].utcMs, kUtcAtZeroMs + 38'000);
  EXPECT_EQ(sink.scans[sink.gapBeforeScan[1] - 1].utcMs, kUtcAtZeroMs + 36'000);
  // Every scan read as it came is on the timer; the backlogs sit next to them.
  const double intervalMs = setup.rec.scanInterval * 1000;
  const int64_t firstMs = sink.scans.at(0).utcMs;
  for (const Scan& s : sink.scans) {
    if (s.utcMs == kUtcAtZeroMs + 18'000 || s.utcMs == kUtcAtZeroMs + 36'000) continue;
    EXPECT_NEAR(s.index * intervalMs, double(s.utcMs - firstMs), intervalMs / 2) << s.index;
  }
}

// The same right after a reconnect, before the first scan was read: the
// backlog from before the silence starts where the stream did.
TEST_F(VirtualRun, AStallRightAfterAReconnectDatesTheBacklogFromTheStreamsStart) {
  ScanRun& r = prepared(1.0);
  pullCableBetween(10'000, 20'000);
  int64_t againMs = -1;
  sink.onNotice = [&](const std::string& text) {
    if (text != "scanning again" || againMs >= 0) return;
    againMs = bench.nowMs();
    host.at(againMs, [this, againMs] { bench.sleepUntilMs(againMs + 8'000); });
  };
  bench.setLine(1, [&againMs](int64_t tUs) {
    k73::VirtualBench::LineState line;
    line.peerBytesLost =
        againMs >= 0 && tUs >= (againMs + 2'500) * 1000 && tUs < (againMs + 10'000) * 1000;
    return line;
  });
  host.stopAt(60'000);
  r.run();

  ASSERT_GE(againMs, 0);
  ASSERT_EQ(sink.gaps.size(), 2u);
  const double intervalMs = setup.rec.scanInterval * 1000;
  const int64_t firstMs = sink.scans.at(0).utcMs;
  const Scan& backlog = sink.scans[sink.gapBeforeScan[0]];
  EXPECT_EQ(backlog.utcMs, kUtcAtZeroMs + againMs + 8'000);
  EXPECT_NEAR(backlog.index * intervalMs, double(againMs - (firstMs - kUtcAtZeroMs)), intervalMs);
  for (size_t g = 0; g < 2; ++g) {
    const size_t after = sink.gapBeforeScan[g];
    EXPECT_EQ(sink.gaps[g].scansMissing, sink.scans[after].index - sink.scans[after - 1].index - 1);
  }
  for (const Scan& s : sink.scans) {
    if (s.utcMs == backlog.utcMs) continue;
    EXPECT_NEAR(s.index * intervalMs, double(s.utcMs - firstMs), intervalMs / 2) << s.index;
  }
}

// A stop while whole scans wait in the queue (the host was busy) logs them.
TEST_F(VirtualRun, StopReadsTheWholeScansStillQueued) {
  ScanRun& r = prepared(1.0);
  host.at(20'000, [this] { bench.sleepUntilMs(25'500); });
  host.stopAt(25'500);
  r.run();
  const double intervalMs = setup.rec.scanInterval * 1000;
  const auto due =
      int64_t(std::floor((25'500 - (sink.scans.at(0).utcMs - kUtcAtZeroMs)) / intervalMs));
  EXPECT_EQ(sink.scans.back().index, due);
  EXPECT_TRUE(sink.gaps.empty());
}

TEST_F(VirtualRun, RunEndingInAGapMarksItUpToTheEnd) {
  ScanRun& r = prepared(1.0);
  pullCableBetween(10'000, 1'000'000);
  host.stopAt(40'000);
  r.run();
  ASSERT_EQ(sink.gaps.size(), 1u);
  ASSERT_EQ(sink.gapBeforeScan[0], sink.scans.size());  // the last line
  const Scan& last = sink.scans.back();
  const GapMark& gap = sink.gaps[0];
  EXPECT_EQ(gap.fromUtcMs, last.utcMs);
  EXPECT_EQ(gap.toUtcMs, kUtcAtZeroMs + 40'000);
  // Scans due between the last one and the end, on the converter's timer.
  const double intervalMs = setup.rec.scanInterval * 1000;
  const int64_t due = int64_t(std::floor((gap.toUtcMs - sink.scans[0].utcMs) / intervalMs));
  EXPECT_EQ(gap.scansMissing, due - last.index);
  expectScansOnTheTimer();
}

TEST_F(VirtualRun, DurationKeepsTheScansWhoseConverterTimeFallsInsideIt) {
  ScanRun& r = prepared(1.0, RunLimits{0, 10.0, true});
  const RunTotals totals = r.run();
  // 0.999936 s intervals: t = 0 ... 9.99936 s are inside 10 s.
  ASSERT_EQ(totals.scansWritten, 11);
  EXPECT_EQ(sink.scans.back().index, 10);
  EXPECT_TRUE(sink.gaps.empty());
  EXPECT_FALSE(converter.scanning());
}

TEST_F(VirtualRun, WithoutReconnectAStalledStreamEndsTheRunWithExitOne) {
  converter.model().misbehave.stopAfterScans = 3;
  ScanRun& r = prepared(1.0, RunLimits{0, 0, false});
  const RunTotals totals = r.run();
  EXPECT_EQ(totals.scansWritten, 3);
  EXPECT_EQ(totals.exitCode, 1);
  EXPECT_EQ(totals.failure, "no scan within the interval plus 2 s");
  EXPECT_TRUE(sink.gaps.empty());
  EXPECT_EQ(bench.openPortCount(), 0);
}

// A scan whose averaging the timer cannot hold: the fit halves it on the
// open port (RemoteAvg answers at once), and the converter is signed on
// again with the new averaging.
TEST_F(VirtualRun, AveragingHalvedByTheFitReachesTheConverterWithoutWaitingOutAClosedPort) {
  LogOptions opts;
  std::string error;
  ASSERT_TRUE(parseChannelList("0,2:0-1", &opts.channels, &error));
  opts.interval = 4000;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  // 3 points of 16384 conversions at the slowest rate (about 9.5 a second)
  // outlast the timer's 4233 s; half as many do not. (A settings file can
  // carry such a count.)
  setup.rec.filter = 0;
  setup.rec.sampleRate = 1;
  setup.rec.remoteAvg = 16384;
  ScanRun r(driver, host, &setup.rec, RunLimits{}, sink);
  DeviceRecord plain = setup.rec;
  plain.remoteAvg = 8192;
  const int64_t signOnStart = bench.nowMs();
  ASSERT_EQ(SignOn(&plain), 1);
  const int64_t signOnMs = bench.nowMs() - signOnStart;
  CloseDevice(&plain);

  const int64_t start = bench.nowMs();
  const Prepared prepared = r.prepare(false);
  ASSERT_EQ(prepared.result, PrepareResult::Ready);
  EXPECT_TRUE(prepared.averagingReduced);
  EXPECT_EQ(setup.rec.remoteAvg, 8192u);
  // Two sign-ons and one averaging packet, no 3 s write retries.
  EXPECT_LT(bench.nowMs() - start, 2 * signOnMs + 1000);
  CloseDevice(&setup.rec);
}

TEST_F(VirtualRun, ShortestIntervalIsTheLimitOnTheTimerGridAndIsServed) {
  LogOptions opts;
  std::string error;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  ScanRun r(driver, host, &setup.rec, RunLimits{20, 0, false}, sink);
  ASSERT_EQ(r.prepare(true).result, PrepareResult::Ready);
  double longest = 0, shortest = 0;
  DeviceRecord copy = setup.rec;
  ASSERT_EQ(CheckScanTime(&copy, &longest, &shortest), 1);
  EXPECT_EQ(setup.rec.scanInterval, shortest);
  EXPECT_EQ(r.run().scansWritten, 20);
  EXPECT_EQ(sink.scans.back().index, 19);
}

}  // namespace

namespace {

// Without a counter preset a converter above firmware 100 still times its
// scans at 3906.25 ticks a second, not at the 4882.8125 that the limits of
// CheckScanTime assume: the times follow the converter.
TEST_F(VirtualRun, TimesFollowTheConvertersTimerOnNewerFirmware) {
  converter.model().firmwareVersion = 101;
  ScanRun& r = prepared(1.0, RunLimits{30, 0, true});
  EXPECT_EQ(setup.rec.scanInterval, 3906 / 3906.25);
  EXPECT_EQ(r.run().scansWritten, 30);
  expectScansOnTheTimer();
  const double lastMs = double(sink.scans.back().utcMs - sink.scans.front().utcMs);
  EXPECT_NEAR(29 * setup.rec.scanInterval * 1000, lastMs, 2.0);
}

}  // namespace

namespace {

TEST_F(VirtualRun, SelfCalibratingAndSingleChannelScansGiveTheirOwnPoints) {
  LogOptions opts;
  std::string error;
  ASSERT_TRUE(parseChannelList("3:2", &opts.channels, &error));
  opts.scanType = 2;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  ScanRun selfcal(driver, host, &setup.rec, RunLimits{2, 0, true}, sink);
  ASSERT_EQ(selfcal.prepare(true).result, PrepareResult::Ready);
  ASSERT_EQ(selfcal.run().scansWritten, 2);
  // Offset and full-scale calibration inputs first, then channel 3 code 2.
  EXPECT_EQ(valueColumns(2, setup.channels),
            (std::vector<std::string>{"cal_offset_mV", "cal_fullscale_mV", "ch3.2_mV"}));
  ASSERT_EQ(sink.scans[1].millivolts.size(), 3u);
  EXPECT_NEAR(sink.scans[1].millivolts[0], 0.0, 0.001);
  EXPECT_NEAR(sink.scans[1].millivolts[1], 4990.0, 0.001);
  EXPECT_NEAR(sink.scans[1].millivolts[2], 4020.0, 0.001);

  sink.scans.clear();
  opts.scanType = 0;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  ScanRun single(driver, host, &setup.rec, RunLimits{2, 0, true}, sink);
  ASSERT_EQ(single.prepare(true).result, PrepareResult::Ready);
  ASSERT_EQ(single.run().scansWritten, 2);
  ASSERT_EQ(sink.scans[1].millivolts.size(), 1u);
  EXPECT_NEAR(sink.scans[1].millivolts[0], 4020.0, 0.001);
}

// A settings file gives the scan and the converter settings; options go on
// top, and a single-channel scan takes exactly one point.
TEST(K73logSetup, SettingsFileThenOptions) {
  const std::string path = ::testing::TempDir() + "k73log-tovset.cfg";
  DeviceRecord saved{};
  int32_t localAveraging = 1;
  tov::SetConfigurationDefaults(&saved, localAveraging);
  saved.scanType = 1;
  for (int16_t& entry : saved.scanTable) entry = 0x10;
  saved.scanTable[1] = 0x13;  // channel 1, codes 1-3
  saved.scanInterval = 5.0;
  saved.gain = 8;
  ASSERT_TRUE(tov::SaveConfiguration(&saved, localAveraging, path.c_str()));

  LogOptions opts;
  opts.settingsFile = path;
  opts.comNumber = 3;
  opts.bytesPerConversion = 2;
  RunSetup setup;
  std::string error;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  EXPECT_EQ(valueColumns(1, setup.channels),
            (std::vector<std::string>{"ch1.1_mV", "ch1.2_mV", "ch1.3_mV"}));
  EXPECT_EQ(setup.rec.pointsPerScan, 3);
  EXPECT_EQ(setup.rec.gain, 8);
  EXPECT_EQ(setup.rec.bytesPerConversion, 2);
  EXPECT_EQ(setup.rec.deviceIndex, 2);
  EXPECT_EQ(setup.rec.scanInterval, 5.0);
  EXPECT_FALSE(setup.shortestInterval);

  // A single-channel scan takes the file's channel and code, or one point.
  opts.scanType = 0;
  ASSERT_TRUE(buildRunSetup(opts, &setup, &error)) << error;
  EXPECT_EQ(valueColumns(0, setup.channels), std::vector<std::string>{"ch0.0_mV"});
  ASSERT_TRUE(parseChannelList("1:1-3", &opts.channels, &error));
  opts.channelsGiven = true;
  EXPECT_FALSE(buildRunSetup(opts, &setup, &error));
  EXPECT_EQ(error, "--channels takes one channel and one code for --type single");
  std::remove(path.c_str());
}

}  // namespace
