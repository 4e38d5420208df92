// The built libtovdrv.so loaded at run time with every export bound, and the
// helpers the pseudo-terminal tests read scans with.
#ifndef TOV_TESTS_SUPPORT_BOUND_DRIVER_H
#define TOV_TESTS_SUPPORT_BOUND_DRIVER_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_record.h"
#include "driver_binding.h"
#include "tovdrv.h"

namespace k73test {

// The built driver with the checks a scan test makes on what it reads.
struct BoundDriver : DriverBinding {
  // Takes the points of the normal scan now in scanBuffer, in millivolts, and
  // drops its end marker.
  std::vector<double> points(DeviceRecord* rec) {
    std::vector<double> mv;
    for (int i = 0; i < rec->pointsPerScan; ++i) {
      Gconv(rec);
      mv.push_back(rec->millivolts);
    }
    EXPECT_EQ(rec->scanBufferCount, 1);
    EXPECT_EQ(rec->scanBuffer[0], 0x0F);
    RemFromBuffer(rec, 1);
    return mv;
  }
};

// Six channels, control code 0 each, 24-bit unipolar, at the shortest
// interval the timing check allows (about 0.2 s at 9600 baud).
inline DeviceRecord shortestSixChannelScan(BoundDriver& drv) {
  DeviceRecord rec = benchRecord();
  rec.pointsPerScan = 6;
  rec.filter = 2;
  rec.sampleRate = 1027;
  rec.firmwareVersion = 100;
  double longest = 0, shortest = 0;
  drv.CheckScanTime(&rec, &longest, &shortest);
  rec.scanInterval = shortest;
  EXPECT_EQ(drv.CheckScanTime(&rec, &longest, &shortest), 1);
  return rec;
}

}  // namespace k73test

#endif
