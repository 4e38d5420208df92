// Reply latency: a peer thread in this process plays the converter on a raw
// pseudo-terminal that the driver holds as its port (SetComHandle). The peer
// writes all of a reply but its last byte, waits until the driver is surely
// blocked waiting for it, notes the time and writes the last byte; the calling
// thread notes the time the export returns. Both clocks are CLOCK_MONOTONIC.
#include <atomic>
#include <thread>
#include <vector>

#include "measure.h"
#include "pty_pair.h"
#include "runs.h"

namespace bench {

using k73test::PtyPair;
using k73test::readExactly;
using k73test::writeAll;

namespace {

// Long enough for the driver to have gone to sleep on the port.
constexpr double kHoldBackS = 0.002;
constexpr int kPeerTimeoutMs = 3000;
// A port slot no other run uses.
constexpr int16_t kLatencySlot = 7;

struct Peer {
  std::atomic<int64_t> lastByteNs{0};
  std::atomic<long> consumed{0};  // replies the caller took
  std::atomic<bool> failed{false};

  // Writes all but the last byte, holds back, stamps and writes the last.
  void send(int fd, const std::vector<uint8_t>& reply) {
    if (!writeAll(fd, reply.data(), reply.size() - 1)) failed = true;
    sleepS(kHoldBackS);
    lastByteNs = nowNs();
    if (!writeAll(fd, &reply.back(), 1)) failed = true;
  }
};

LatencyResult finish(std::vector<double>& samplesUs, long failures) {
  LatencyResult r;
  r.samples = long(samplesUs.size());
  r.failures = failures;
  r.medianUs = quantile(samplesUs, 0.5);
  r.p99Us = quantile(samplesUs, 0.99);
  return r;
}

DeviceRecord latencyRecord(Driver& drv, const PtyPair& pty) {
  DeviceRecord rec = benchRecord();
  rec.deviceIndex = kLatencySlot;
  rec.replyTimeout = 2000;
  rec.scanInterval = 1.0;
  drv.SetComHandle(&rec, pty.slave());
  return rec;
}

// The slot must not keep our descriptor: the driver closes open slots when
// it is unloaded.
void releaseSlot(Driver& drv, DeviceRecord* rec) {
  drv.SetComHandle(rec, TOV_INVALID_HANDLE);
}

}  // namespace

LatencyResult conversionLatency(Driver& drv, int samples) {
  PtyPair pty;
  if (!pty.ok()) return {};
  DeviceRecord rec = latencyRecord(drv, pty);
  Peer peer;
  std::thread converter([&] {
    for (int i = 0; i < samples && !peer.failed; ++i) {
      uint8_t request[3];
      if (!readExactly(pty.master(), request, 3, kPeerTimeoutMs) || request[0] != 0x81) {
        peer.failed = true;
        return;
      }
      peer.send(pty.master(), {0x81, 0x56, 0x34, 0x12});
    }
  });
  std::vector<double> latencies;
  long failures = 0;
  for (int i = 0; i < samples && !peer.failed; ++i) {
    const bool ok = drv.GetConversion(&rec) == 1 && rec.counts == 0x123456;
    const int64_t returned = nowNs();
    if (!ok) {
      ++failures;
      continue;
    }
    latencies.push_back(double(returned - peer.lastByteNs) / 1000.0);
  }
  converter.join();
  releaseSlot(drv, &rec);
  return finish(latencies, failures + (peer.failed ? 1 : 0));
}

LatencyResult scanLatency(Driver& drv, int samples) {
  PtyPair pty;
  if (!pty.ok()) return {};
  DeviceRecord rec = latencyRecord(drv, pty);
  std::vector<uint8_t> scan{0xF0};
  for (int i = 0; i < rec.pointsPerScan * rec.bytesPerConversion; ++i) scan.push_back(uint8_t(i));
  scan.push_back(0x0F);

  Peer peer;
  std::thread converter([&] {
    for (long i = 0; i < samples && !peer.failed; ++i) {
      // One scan at a time: the next goes out once the caller took this one.
      const double giveUp = nowS() + kPeerTimeoutMs / 1000.0;
      while (peer.consumed < i && nowS() < giveUp) sleepS(0.0001);
      if (peer.consumed < i) {
        peer.failed = true;
        return;
      }
      peer.send(pty.master(), scan);
    }
  });
  std::vector<double> latencies;
  long failures = 0;
  for (int i = 0; i < samples && !peer.failed; ++i) {
    rec.scanBufferCount = 0;
    const bool ok = drv.GetOneScan(&rec) == 1;
    const int64_t returned = nowNs();
    // The driver answers a time-out with a fresh sign-on, which fails here.
    if (!ok) {
      ++failures;
      break;
    }
    latencies.push_back(double(returned - peer.lastByteNs) / 1000.0);
    ++peer.consumed;
  }
  peer.failed = peer.failed || failures > 0;
  converter.join();
  // After a time-out the driver signed on again and closed our slave end.
  if (failures > 0) pty.forgetSlave();
  releaseSlot(drv, &rec);
  return finish(latencies, failures + (peer.failed ? 1 : 0));
}

}  // namespace bench
