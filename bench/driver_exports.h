// The driver's exports the benchmark calls, bound by name from the built
// library the way a client program binds them.
#ifndef TOV_BENCH_DRIVER_EXPORTS_H
#define TOV_BENCH_DRIVER_EXPORTS_H

#include <string>

#include "sim_process.h"
#include "tovdrv.h"

namespace bench {

struct DriverExports {
  explicit DriverExports(const std::string& path);

  using RecordFn = int16_t (*)(DeviceRecord*);
  k73test::DriverLibrary lib;
  RecordFn SignOn, CloseDevice, GetConversion, StartScanning, GetOneScan, StopScanning;
  int32_t (*GetNumScansInBuffer)(DeviceRecord*);
  int16_t (*CheckScanTime)(DeviceRecord*, double*, double*);
  void (*Gconv)(DeviceRecord*);
  int32_t (*RemFromBuffer)(DeviceRecord*, int32_t);
  void (*GetComHandle)(DeviceRecord*, TovHandle*);
  void (*SetComHandle)(DeviceRecord*, TovHandle);

  bool ok() const;
};

}  // namespace bench

#endif
