// Program-wide state of the console program and the driver's export table.
// Created once at start-up and kept for the whole run.
#ifndef TOV_CONSOLE_PROGRAM_H
#define TOV_CONSOLE_PROGRAM_H

#include <cstdint>

#include "tovdrv.h"

namespace tov {

// The 26 driver exports the program uses, in binding order.
struct DriverExports {
  int32_t(TOVAPI* GetNumScansInBuffer)(DeviceRecord*);
  uint32_t(TOVAPI* GetNumBytesInBuffer)(DeviceRecord*);
  int16_t(TOVAPI* SignOn)(DeviceRecord*);
  int32_t(TOVAPI* RemoteAvg)(DeviceRecord*);
  double(TOVAPI* Counts2Volts)(DeviceRecord*);
  int16_t(TOVAPI* GetDigIn)(DeviceRecord*);
  int16_t(TOVAPI* GetVer)(DeviceRecord*);
  int32_t(TOVAPI* SetDigOut)(DeviceRecord*, int32_t);
  int16_t(TOVAPI* FullScaleCal)(DeviceRecord*);
  int16_t(TOVAPI* OffsetCal)(DeviceRecord*);
  int16_t(TOVAPI* SysCal)(DeviceRecord*);
  int16_t(TOVAPI* GetConversion)(DeviceRecord*);
  int32_t(TOVAPI* SetChanCode)(DeviceRecord*);
  int16_t(TOVAPI* StartScanning)(DeviceRecord*);
  int16_t(TOVAPI* GetOneScan)(DeviceRecord*);
  int16_t(TOVAPI* StopScanning)(DeviceRecord*);
  void(TOVAPI* Gconv)(DeviceRecord*);
  int32_t(TOVAPI* RemFromBuffer)(DeviceRecord*, int32_t);
  uint8_t(TOVAPI* SetFilter)(DeviceRecord*);
  int16_t(TOVAPI* SendADMode)(DeviceRecord*);
  int16_t(TOVAPI* GetCheckSum)(DeviceRecord*);
  int16_t(TOVAPI* CloseDevice)(DeviceRecord*);
  int32_t(TOVAPI* GotoSleep)(DeviceRecord*);
  int32_t(TOVAPI* FilterDelay)(DeviceRecord*);
  int16_t(TOVAPI* CheckScanTime)(DeviceRecord*, double*, double*);
  void(TOVAPI* GetComHandle)(DeviceRecord*, TovHandle*);
};

extern DriverExports driver;  // filled by BindDriver

// Noise statistics over blocks of 40 polled readings.
struct NoiseStats {
  double sum = 0;
  int32_t count = 1;  // 1-based position of the next reading, 1..40
  double samples[41] = {};  // indexed by count (slot 0 unused)
  double average = 0;        // mV, last complete block
  double stdDev = 0;         // mV, last complete block
  double effectiveBits = 0;  // bits, last complete block
};

constexpr int kDeviceCount = 4;

struct ProgramState {
  DeviceRecord* deviceRecords[kDeviceCount] = {};
  uint8_t currentDevice = 0;
  uint8_t signedOn[kDeviceCount] = {};
  TovHandle comHandle{};
  int16_t baudRates[6] = {9600, 4800, 2400, 1200, 600, 300};
  // Entered as a decimal integer into a 32-bit slot; users take the low 16
  // bits as a signed number.
  int32_t localAveraging = 1;

  // Polled mode, kept across visits and devices.
  double maxMillivolts = -12000.0;
  double minMillivolts = 12000.0;
  int16_t checksumOk = 1;
  int readingRow = 14;
  NoiseStats noise;

  // Scanning configuration.
  int32_t channelPoints[6] = {};
  double scanTimeMin = 0;
  double scanTimeMax = 0;
  int32_t codeFrom = 0;
  int32_t codeTo = 0;

  DeviceRecord* record() const { return deviceRecords[currentDevice]; }
};

extern ProgramState program;

}  // namespace tov

#endif
