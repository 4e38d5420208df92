#include "driver_exports.h"

namespace bench {

DriverExports::DriverExports(const std::string& path)
    : lib(path),
      SignOn(lib.get<RecordFn>("SignOn")),
      CloseDevice(lib.get<RecordFn>("CloseDevice")),
      GetConversion(lib.get<RecordFn>("GetConversion")),
      StartScanning(lib.get<RecordFn>("StartScanning")),
      GetOneScan(lib.get<RecordFn>("GetOneScan")),
      StopScanning(lib.get<RecordFn>("StopScanning")),
      GetNumScansInBuffer(lib.get<decltype(GetNumScansInBuffer)>("GetNumScansInBuffer")),
      CheckScanTime(lib.get<decltype(CheckScanTime)>("CheckScanTime")),
      Gconv(lib.get<decltype(Gconv)>("Gconv")),
      RemFromBuffer(lib.get<decltype(RemFromBuffer)>("RemFromBuffer")),
      GetComHandle(lib.get<decltype(GetComHandle)>("GetComHandle")),
      SetComHandle(lib.get<decltype(SetComHandle)>("SetComHandle")) {}

bool DriverExports::ok() const {
  return lib.loaded() && SignOn && CloseDevice && GetConversion && StartScanning && GetOneScan &&
         StopScanning && GetNumScansInBuffer && CheckScanTime && Gconv && RemFromBuffer &&
         GetComHandle && SetComHandle;
}

}  // namespace bench
