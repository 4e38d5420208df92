// The record most tests start from: everything zero except a converter on
// COM(deviceIndex + 1) at 9600 baud sending 24-bit unipolar words, gain 1,
// 10 conversions a second, 4 Hz filter, no averaging, no counter preset, a
// normal scan of one point every 2 s, and the usual port queue sizes. Each
// test then sets only what its set-up needs differently.
#ifndef TOV_TESTS_SUPPORT_BENCH_RECORD_H
#define TOV_TESTS_SUPPORT_BENCH_RECORD_H

#include <cstring>

#include "tovdrv.h"

namespace k73test {

inline DeviceRecord benchRecord(int deviceIndex = 0) {
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  rec.deviceIndex = static_cast<int16_t>(deviceIndex);
  rec.baudIndex = 0;
  rec.bytesPerConversion = 3;
  rec.gain = 1;
  rec.sampleRate = 10;
  rec.remoteAvg = 1;
  rec.counterPreset = -1;
  rec.scanType = 1;
  rec.scanInterval = 2.0;
  rec.pointsPerScan = 1;
  rec.outQueueSize = 1;
  rec.inQueueSize = 1024;
  return rec;
}

}  // namespace k73test

#endif
