// A stand-in driver library for the binding: every export the program binds,
// each one left out when OMIT_<name> is defined. The bodies do nothing.
#include "tovdrv.h"

#define TOV_STUB(ret, name, ...)                      \
  extern "C" TOVEXPORT ret TOVAPI name(__VA_ARGS__) { \
    return ret{};                                     \
  }

#ifndef OMIT_GetNumScansInBuffer
TOV_STUB(int32_t, GetNumScansInBuffer, DeviceRecord*)
#endif
#ifndef OMIT_GetNumBytesInBuffer
TOV_STUB(uint32_t, GetNumBytesInBuffer, DeviceRecord*)
#endif
#ifndef OMIT_SignOn
TOV_STUB(int16_t, SignOn, DeviceRecord*)
#endif
#ifndef OMIT_RemoteAvg
TOV_STUB(int32_t, RemoteAvg, DeviceRecord*)
#endif
TOV_STUB(double, Counts2Volts, DeviceRecord*)
TOV_STUB(int16_t, GetDigIn, DeviceRecord*)
TOV_STUB(int16_t, GetVer, DeviceRecord*)
TOV_STUB(int32_t, SetDigOut, DeviceRecord*, int32_t)
TOV_STUB(int16_t, FullScaleCal, DeviceRecord*)
TOV_STUB(int16_t, OffsetCal, DeviceRecord*)
#ifndef OMIT_SysCal
TOV_STUB(int16_t, SysCal, DeviceRecord*)
#endif
TOV_STUB(int16_t, GetConversion, DeviceRecord*)
TOV_STUB(int32_t, SetChanCode, DeviceRecord*)
TOV_STUB(int16_t, StartScanning, DeviceRecord*)
TOV_STUB(int16_t, GetOneScan, DeviceRecord*)
TOV_STUB(int16_t, StopScanning, DeviceRecord*)
extern "C" TOVEXPORT void TOVAPI Gconv(DeviceRecord*) {}
TOV_STUB(int32_t, RemFromBuffer, DeviceRecord*, int32_t)
TOV_STUB(uint8_t, SetFilter, DeviceRecord*)
TOV_STUB(int16_t, SendADMode, DeviceRecord*)
TOV_STUB(int16_t, GetCheckSum, DeviceRecord*)
TOV_STUB(int16_t, CloseDevice, DeviceRecord*)
TOV_STUB(int32_t, GotoSleep, DeviceRecord*)
TOV_STUB(int32_t, FilterDelay, DeviceRecord*)
#ifndef OMIT_CheckScanTime
TOV_STUB(int16_t, CheckScanTime, DeviceRecord*, double*, double*)
#endif
#ifndef OMIT_GetComHandle
extern "C" TOVEXPORT void TOVAPI GetComHandle(DeviceRecord*, TovHandle* handle) {
  *handle = -1;
}
#endif
