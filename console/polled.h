// Polled mode: the live single-channel meter and its command keys.
#ifndef TOV_CONSOLE_POLLED_H
#define TOV_CONSOLE_POLLED_H

#include <cstdint>

#include "program.h"

namespace tov {

// Entered after a successful sign-on; key is '4' from the main menu.
// Returns to the main menu.
void RunPolledMode(int key);
void ShowPolledMenu(int key, int32_t localAveraging, int16_t checksumOk);
void RunPolledCommand(int key, double& maxMillivolts, double& minMillivolts,
                      int32_t& localAveraging, int16_t& checksumOk);
void EnterSampleRate();
void UpdateNoiseStats(NoiseStats& stats, DeviceRecord* rec);
void ResetNoiseStats(NoiseStats& stats);
// Bits of a 24-bit (bytesPerConversion 3) or 16-bit word left above a noise
// of sigmaCounts.
double EffectiveResolution(double sigmaCounts, int16_t bytesPerConversion);

// The averaging count the meter uses: the low 16 bits of the stored slot as a
// signed number; anything below 1 counts as 1.
int16_t LocalAveragingInUse(int32_t localAveraging);
// One displayed reading: `averaging` conversions, their counts (truncated
// toward zero) and millivolts averaged into the record. False as soon as a
// conversion fails; the record's lastError then tells why.
bool TakePolledReading(DeviceRecord* rec, int16_t averaging);
// The X key's port change; true when polled mode goes on with the new device.
bool SelectPolledPort();

}  // namespace tov

#endif
