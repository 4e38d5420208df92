// The built libtovdrv.so loaded at run time, with every export bound by name
// and typed from the public header, as a client program binds them.
#ifndef TOV_TESTS_SUPPORT_BOUND_DRIVER_H
#define TOV_TESTS_SUPPORT_BOUND_DRIVER_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_record.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace k73test {

#define K73_BIND(name) decltype(&::name) name = lib.get<decltype(&::name)>(#name)

struct BoundDriver {
  DriverLibrary lib{binPath("libtovdrv.so")};
  K73_BIND(SignOn);
  K73_BIND(CloseDevice);
  K73_BIND(GetConversion);
  K73_BIND(SetChanCode);
  K73_BIND(CheckScanTime);
  K73_BIND(StartScanning);
  K73_BIND(GetOneScan);
  K73_BIND(GetOneScanWithDigin);
  K73_BIND(StopScanning);
  K73_BIND(Gconv);
  K73_BIND(RemFromBuffer);
  K73_BIND(GetComHandle);
  K73_BIND(SetComHandle);
  K73_BIND(GetVer);
  K73_BIND(SysCal);
  K73_BIND(SendADMode);
  K73_BIND(GetCheckSum);

  bool ok() const {
    return lib.loaded() && SignOn && CloseDevice && GetConversion && SetChanCode && CheckScanTime &&
           StartScanning && GetOneScan && GetOneScanWithDigin && StopScanning && Gconv &&
           RemFromBuffer && GetComHandle;
  }

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

#undef K73_BIND

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
