// Scanning mode: the configuration screen and scan runs with the data file.
#ifndef TOV_CONSOLE_SCANNING_H
#define TOV_CONSOLE_SCANNING_H

#include <cstdint>

#include "program.h"

namespace tov {

// Counting rule: channelPoints and pointsPerScan from the record's scanTable.
void CountScanPoints(DeviceRecord* rec, int32_t channelPoints[6]);

// Nonzero: perform the scan (Enter); 0: back to the main menu (Esc).
int16_t EditScanConfig();
int16_t EnterControlCodes(int channel);
int16_t EnterScanTime();
// Runs scans until the configuration screen is left; then back to the main menu.
void ScanRun(int16_t savedChannel, int16_t savedSubChannel);

}  // namespace tov

#endif
