// Sign-on, polled conversions and scans through the driver against k73sim
// on a pseudo-terminal.
#include <unistd.h>

#include <cmath>
#include <vector>

#include "bench_record.h"
#include "measure.h"
#include "runs.h"
#include "table.h"
#include "tovscan.h"

namespace bench {

namespace {

// The simulator's fixed reply delay after a request's last byte.
constexpr double kSimProcessingS = 0.001;
constexpr double kByteTimeS = 10.0 / 9600;  // 8-N-1 at 9600 baud
constexpr double kToleranceMv = 0.01;

std::vector<std::string> simArgs(bool unpaced) {
  std::vector<std::string> args{"--quiet", "--noise", "0"};
  if (unpaced) args.push_back("--unpaced");
  for (int ch = 0; ch < 6; ++ch) {
    args.push_back("--input");
    args.push_back(std::to_string(ch) + ".0=" + fixed(kInputsMv[ch], 3));
  }
  return args;
}

// The conversion rate the converter runs at after sign-on: its modulator
// divided by the filter code in the mode word (never below 19).
double converterRateHz(const DeviceRecord& rec) {
  const int code = (rec.modeLow & 0xFF) | ((rec.modeMid & 7) << 8);
  return 19531.25 / (code < 19 ? 19 : code);
}

// Takes the points of the scan in scanBuffer and its end marker; false when a
// value or the marker is wrong.
bool consumeScan(Driver& drv, DeviceRecord* rec) {
  bool good = true;
  for (int i = 0; i < rec->pointsPerScan; ++i) {
    drv.Gconv(rec);
    if (std::fabs(rec->millivolts - kInputsMv[i % 6]) > kToleranceMv) good = false;
  }
  if (rec->scanBufferCount != 1 || rec->scanBuffer[0] != 0x0F) good = false;
  drv.RemFromBuffer(rec, TOV_SCAN_BUFFER_SIZE);
  return good;
}

// One naive conversion: request, then spin on the clock reading the port
// until the echo and the data bytes are in or the time-out passes.
bool spinningConversion(int fd, const DeviceRecord& rec, int32_t* counts) {
  uint8_t byte = 0;
  while (read(fd, &byte, 1) == 1) {
  }
  const uint8_t request[3] = {0x81, 0, 0x81};
  if (write(fd, request, 3) != 3) return false;
  uint8_t reply[4] = {};
  const int want = 1 + rec.bytesPerConversion;
  int have = 0;
  const double deadline = nowS() + rec.replyTimeout / 1000.0;
  while (have < want && nowS() < deadline) {
    if (read(fd, &reply[have], 1) == 1) ++have;
  }
  if (have < want || reply[0] != 0x81) return false;
  *counts = reply[1] | reply[2] << 8 | (want == 4 ? reply[3] << 16 : 0);
  return true;
}

}  // namespace

DeviceRecord benchRecord() {
  DeviceRecord rec = k73test::benchRecord(0);  // COM1
  rec.pointsPerScan = 6;
  rec.filter = 2;
  rec.sampleRate = 1027;
  rec.firmwareVersion = 100;
  return rec;
}

SignOnResult timeSignOns(Driver& drv, DeviceRecord rec, int count) {
  SignOnResult result;
  k73test::SimProcess sim(k73test::binPath("k73sim"), simArgs(false));
  if (!sim.start()) return result;
  std::vector<double> durations;
  double cpu = 0, wall = 0;
  for (int i = 0; i < count; ++i) {
    CpuMeter meter;
    const int16_t ok = drv.SignOn(&rec);
    meter.stop();
    ++result.attempts;
    if (ok != 1) continue;
    ++result.succeeded;
    durations.push_back(meter.wallS());
    cpu += meter.cpuS();
    wall += meter.wallS();
  }
  drv.CloseDevice(&rec);
  result.medianS = quantile(durations, 0.5);
  result.cpuShare = wall > 0 ? cpu / wall : 0;
  return result;
}

PolledResult runPolled(Driver& drv, DeviceRecord rec, double seconds, bool spinning) {
  PolledResult result;
  k73test::SimProcess sim(k73test::binPath("k73sim"), simArgs(false));
  if (!sim.start() || drv.SignOn(&rec) != 1) return result;

  const double perConversion = kSimProcessingS + rec.remoteAvg / converterRateHz(rec) +
                               (1 + rec.bytesPerConversion) * kByteTimeS;
  result.simLimit = 1 / perConversion;
  result.linkLimit = 1 / (perConversion + 3 * kByteTimeS);

  TovHandle port = TOV_INVALID_HANDLE;
  drv.GetComHandle(&rec, &port);
  CpuMeter meter;
  const double end = nowS() + seconds;
  while (nowS() < end) {
    bool ok;
    if (spinning) {
      ok = spinningConversion(int(port), rec, &rec.counts);
      rec.millivolts = rec.counts * 0.0002980232;
    } else {
      ok = drv.GetConversion(&rec) == 1;
    }
    if (!ok) {
      ++result.failures;
      continue;
    }
    ++result.conversions;
    if (std::fabs(rec.millivolts - kInputsMv[0]) > kToleranceMv) ++result.wrongValues;
  }
  meter.stop();
  drv.CloseDevice(&rec);
  result.perSecond = result.conversions / meter.wallS();
  result.cpuShare = meter.share();
  return result;
}

ScanResult runScans(Driver& drv, DeviceRecord rec, double seconds, long count, bool unpaced) {
  ScanResult result;
  k73test::SimProcess sim(k73test::binPath("k73sim"), simArgs(unpaced));
  if (!sim.start()) return result;
  double longest = 0, shortest = 0;
  drv.CheckScanTime(&rec, &longest, &shortest);
  rec.scanInterval = shortest;
  if (drv.CheckScanTime(&rec, &longest, &shortest) != 1 || drv.SignOn(&rec) != 1) return result;
  result.intervalS = tovTimerInterval(&rec);  // as the timer keeps it, not as snapped
  // Unpaced, the stream outruns any reader for a while: let the queue grow
  // rather than call it an overflow.
  if (unpaced) rec.inQueueSize = 1u << 30;
  if (drv.StartScanning(&rec) != 1) {
    drv.CloseDevice(&rec);
    return result;
  }

  ProcessCpuMeter simMeter(sim.pid());
  CpuMeter meter;
  const double end = nowS() + seconds;
  double first = 0, last = 0;
  while (count > 0 ? result.scans < count : nowS() < end) {
    if (drv.GetOneScan(&rec) != 1) {
      ++result.failures;
      result.lastError = rec.lastError;
      break;  // a failed scan ends a run, as in the program
    }
    last = nowS();
    if (result.scans++ == 0) first = last;
    if (!consumeScan(drv, &rec)) ++result.wrongValues;
  }
  meter.stop();
  simMeter.stop();
  drv.StopScanning(&rec);
  drv.CloseDevice(&rec);

  if (result.scans > 1) result.perSecond = (result.scans - 1) / (last - first);
  if (!unpaced && result.scans > 1) {
    // The converter's timer sent one scan per interval since the first.
    const long sent = std::lround((last - first) / result.intervalS) + 1;
    result.missing = sent > result.scans ? sent - result.scans : 0;
  }
  result.cpuShare = meter.share();
  result.simCpuShare = simMeter.share();
  return result;
}

}  // namespace bench
