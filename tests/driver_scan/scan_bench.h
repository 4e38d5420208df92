// A converter on COM1 in virtual time whose scan stream each test writes by
// hand, and a record whose port is open at 9600 baud as after a sign-on; the
// record is set up for a two-point scan.
#ifndef TOV_TESTS_DRIVER_SCAN_SCAN_BENCH_H
#define TOV_TESTS_DRIVER_SCAN_SCAN_BENCH_H

#include <gtest/gtest.h>

#include "port_bench.h"

namespace scanbench {

using k73test::Bytes;
using k73test::kBaud;
using k73test::kByteUs;
using k73test::Packet;

// A normal or self-calibrating scan: 0xF0, `points` words of `width` bytes
// (point i holds bytes i*16+1, i*16+2, ...), 0x0F.
inline Bytes framedScan(int points, int width) {
  Bytes scan{0xF0};
  for (int i = 0; i < points; ++i)
    for (int j = 0; j < width; ++j) scan.push_back(static_cast<uint8_t>(i * 16 + j + 1));
  scan.push_back(0x0F);
  return scan;
}

class ScanBench : public k73test::PortBench {
 protected:
  void SetUp() override {
    rec.scanInterval = 0.5;
    rec.pointsPerScan = 2;
    rec.channel = 2;
    rec.subChannel = 5;
    rec.filter = 2;
    rec.firmwareVersion = 100;
    rec.replyTimeout = 2000;
    PortBench::SetUp();
  }

  Bytes held() const { return Bytes(rec.scanBuffer, rec.scanBuffer + rec.scanBufferCount); }

  // Queues `count` bytes of filler and lets them arrive.
  void fillQueue(int count) {
    converter.transmit(bench.nowUs() + kByteUs, Bytes(count, 0x55));
    bench.advanceToUs(converter.lastByteUs());
  }
};

}  // namespace scanbench

#endif
