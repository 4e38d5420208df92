/* The driver's 32 exports by name, each written once. Their signatures are
 * the declarations in tovdrv.h (in C++, decltype(&::Name)); this list is what
 * the console program's binding table, the test fakes and stand-in drivers,
 * and the test and benchmark bindings are made from.
 *
 * TOVDRV_EXPORTS(BOUND, OTHER) expands BOUND(Name) for the 26 exports the
 * console program binds, in the order it binds them (a missing one is
 * reported by the first in this order), then OTHER(Name) for the 6 it does
 * not use. Pass TOVDRV_SKIP for a group to leave out. */
#ifndef TOVDRV_EXPORTS_H
#define TOVDRV_EXPORTS_H

#define TOVDRV_EXPORTS(BOUND, OTHER) \
  BOUND(GetNumScansInBuffer)         \
  BOUND(GetNumBytesInBuffer)         \
  BOUND(SignOn)                      \
  BOUND(RemoteAvg)                   \
  BOUND(Counts2Volts)                \
  BOUND(GetDigIn)                    \
  BOUND(GetVer)                      \
  BOUND(SetDigOut)                   \
  BOUND(FullScaleCal)                \
  BOUND(OffsetCal)                   \
  BOUND(SysCal)                      \
  BOUND(GetConversion)               \
  BOUND(SetChanCode)                 \
  BOUND(StartScanning)               \
  BOUND(GetOneScan)                  \
  BOUND(StopScanning)                \
  BOUND(Gconv)                       \
  BOUND(RemFromBuffer)               \
  BOUND(SetFilter)                   \
  BOUND(SendADMode)                  \
  BOUND(GetCheckSum)                 \
  BOUND(CloseDevice)                 \
  BOUND(GotoSleep)                   \
  BOUND(FilterDelay)                 \
  BOUND(CheckScanTime)               \
  BOUND(GetComHandle)                \
  OTHER(SetComHandle)                \
  OTHER(DoDebug)                     \
  OTHER(DllEntryPoint)               \
  OTHER(DLL_SendPacket)              \
  OTHER(WriteCntr)                   \
  OTHER(GetOneScanWithDigin)

#define TOVDRV_SKIP(name)

#endif /* TOVDRV_EXPORTS_H */
