#include "binding.h"

#include <string>

#include "console_platform.h"
#include "library.h"
#include "program.h"

namespace tov {

void* driverModule = nullptr;

const char* const kBoundExportNames[kBoundExportCount] = {"GetNumScansInBuffer",
                                                          "GetNumBytesInBuffer",
                                                          "SignOn",
                                                          "RemoteAvg",
                                                          "Counts2Volts",
                                                          "GetDigIn",
                                                          "GetVer",
                                                          "SetDigOut",
                                                          "FullScaleCal",
                                                          "OffsetCal",
                                                          "SysCal",
                                                          "GetConversion",
                                                          "SetChanCode",
                                                          "StartScanning",
                                                          "GetOneScan",
                                                          "StopScanning",
                                                          "Gconv",
                                                          "RemFromBuffer",
                                                          "SetFilter",
                                                          "SendADMode",
                                                          "GetCheckSum",
                                                          "CloseDevice",
                                                          "GotoSleep",
                                                          "FilterDelay",
                                                          "CheckScanTime",
                                                          "GetComHandle"};

namespace {

constexpr const char* kErrorCaption = "-- error";
constexpr const char* kNoticeCaption = "IMPORTANT NOTICE ---";

// The first three exports take nothing but the record and are written with
// an empty pair of parentheses; the rest with "(...)".
std::string missingExportText(int index) {
  const char* parentheses = index < 3 ? "()" : "(...)";
  return std::string("failed to find function:\n     ") + kBoundExportNames[index] + parentheses +
         "\nin tovdrv.DLL\n\nEXITING";
}

// Stores the symbol into the table slot; false when it is missing.
template <typename Pointer>
bool bind(int index, Pointer& slot) {
  void* address = lib::symbol(driverModule, kBoundExportNames[index]);
  if (!address) return false;
  slot = reinterpret_cast<Pointer>(address);
  return true;
}

}  // namespace

bool LoadDriver(const char* fileName) {
  driverModule = lib::load(fileName ? fileName : lib::driverFileName());
  if (driverModule) return true;
  con::messageBox(kErrorCaption, "Error loading tovdrv.DLL");
  return false;
}

bool BindDriver() {
  DriverExports& d = driver;
  int missing = -1;
  int i = 0;
  // In binding order; stops at the first export that is not there.
  auto step = [&](auto& slot) {
    if (missing < 0 && !bind(i, slot)) missing = i;
    ++i;
  };
  step(d.GetNumScansInBuffer);
  step(d.GetNumBytesInBuffer);
  step(d.SignOn);
  step(d.RemoteAvg);
  step(d.Counts2Volts);
  step(d.GetDigIn);
  step(d.GetVer);
  step(d.SetDigOut);
  step(d.FullScaleCal);
  step(d.OffsetCal);
  step(d.SysCal);
  step(d.GetConversion);
  step(d.SetChanCode);
  step(d.StartScanning);
  step(d.GetOneScan);
  step(d.StopScanning);
  step(d.Gconv);
  step(d.RemFromBuffer);
  step(d.SetFilter);
  step(d.SendADMode);
  step(d.GetCheckSum);
  step(d.CloseDevice);
  step(d.GotoSleep);
  step(d.FilterDelay);
  step(d.CheckScanTime);
  step(d.GetComHandle);
  if (missing < 0) return true;
  con::messageBox(kNoticeCaption, missingExportText(missing).c_str());
  lib::release(driverModule);
  driverModule = nullptr;
  return false;
}

bool UnloadDriver() {
  lib::release(driverModule);
  driverModule = nullptr;
  return true;
}

}  // namespace tov
