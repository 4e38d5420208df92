// Program-wide state of the console program and the driver's export table.
// Created once at start-up and kept for the whole run.
#ifndef TOV_CONSOLE_PROGRAM_H
#define TOV_CONSOLE_PROGRAM_H

#include <cstdint>

#include "tovdrv.h"
#include "tovdrv_exports.h"

namespace tov {

// The driver exports the program uses, in binding order, typed from tovdrv.h.
struct DriverExports {
#define TOV_EXPORT_SLOT(name) decltype(&::name) name;
  TOVDRV_EXPORTS(TOV_EXPORT_SLOT, TOVDRV_SKIP)
#undef TOV_EXPORT_SLOT
};

extern DriverExports driver;  // filled by BindDriver

// Noise statistics over blocks of 40 polled readings.
struct NoiseStats {
  double sum = 0;
  int32_t count = 1;         // 1-based position of the next reading, 1..40
  double samples[41] = {};   // indexed by count (slot 0 unused)
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
