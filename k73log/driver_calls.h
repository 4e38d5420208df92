// The driver's exports that the logger calls, bound by name from the public
// header's declarations: from the loaded library in the program, from the
// driver linked in for tests in virtual time.
#ifndef K73LOG_DRIVER_CALLS_H
#define K73LOG_DRIVER_CALLS_H

#include <string>

#include "tovdrv.h"

namespace k73log {

#define K73LOG_DRIVER_EXPORTS(X) \
  X(SignOn)                      \
  X(CloseDevice)                 \
  X(SysCal)                      \
  X(RemoteAvg)                   \
  X(SetChanCode)                 \
  X(CheckScanTime)               \
  X(StartScanning)               \
  X(GetNumBytesInBuffer)         \
  X(GetNumScansInBuffer)         \
  X(GetOneScan)                  \
  X(Gconv)                       \
  X(RemFromBuffer)               \
  X(StopScanning)                \
  X(GetComHandle)

struct DriverCalls {
#define K73LOG_MEMBER(name) decltype(&::name) name = nullptr;
  K73LOG_DRIVER_EXPORTS(K73LOG_MEMBER)
#undef K73LOG_MEMBER
};

// Loads the driver library (beside the program first) and binds the calls.
// False with the reason when the library or an export is missing.
bool loadDriver(DriverCalls* calls, std::string* error);

}  // namespace k73log

#endif
