// Offset, full-scale and system calibration. Each calibration replies with its
// command byte and one conversion word, which we read and discard.
#include <algorithm>

#include "link.h"

namespace {

// Internal inputs the converter uses for system calibration.
constexpr uint8_t kZeroInput = 0x70;
constexpr uint8_t kFullScaleInput = 0x60;
constexpr int32_t kSysCalTimeoutMs = 2000;

// The command byte, then one conversion word.
int replyBytes(const DeviceRecord* rec) {
  return 1 + tovWordBytes(rec->bytesPerConversion);
}

// A calibration takes longer than a conversion: allow twice the reply time.
int32_t calibrationTimeout(const DeviceRecord* rec) {
  return static_cast<int32_t>(std::min<int64_t>(2 * int64_t{rec->replyTimeout}, INT32_MAX));
}

int16_t calibrateCurrentChannel(DeviceRecord* rec, uint8_t command) {
  if (!tov::sendPacket(rec, command, tov::channelCode(rec))) return 0;
  if (!tov::readBytesTimed(rec, replyBytes(rec), calibrationTimeout(rec), rec->reply)) return 0;
  return rec->reply[0] == command ? 1 : 0;
}

// One step of system calibration: the reply must arrive, its echo is not checked.
bool systemStep(DeviceRecord* rec, uint8_t command, uint8_t input) {
  return tov::sendPacket(rec, command, input) &&
         tov::readBytesTimed(rec, replyBytes(rec), kSysCalTimeoutMs, rec->reply);
}

}  // namespace

extern "C" {

TOVEXPORT int16_t TOVAPI FullScaleCal(DeviceRecord* rec) {
  return calibrateCurrentChannel(rec, tov::cmd::kFullScaleCal);
}

TOVEXPORT int16_t TOVAPI OffsetCal(DeviceRecord* rec) {
  return calibrateCurrentChannel(rec, tov::cmd::kOffsetCal);
}

// Zero and full scale are calibrated at gain 1; the zero is then calibrated
// again at the working gain. A failure returns at once and may leave gain 1
// in the record and in the converter.
TOVEXPORT int16_t TOVAPI SysCal(DeviceRecord* rec) {
  const int16_t workingGain = rec->gain;
  if (rec->gain != 1) {
    rec->gain = 1;
    if (!SendADMode(rec)) return 0;
  }
  if (!systemStep(rec, tov::cmd::kOffsetCal, kZeroInput)) return 0;
  if (!systemStep(rec, tov::cmd::kFullScaleCal, kFullScaleInput)) return 0;
  if (workingGain != rec->gain) {
    rec->gain = workingGain;
    if (!SendADMode(rec)) return 0;
    if (!systemStep(rec, tov::cmd::kOffsetCal, kZeroInput)) return 0;
  }
  return 1;
}

}  // extern "C"
