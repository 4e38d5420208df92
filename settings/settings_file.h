// The settings file "tovset.cfg": one device record's link, scan and converter
// set-up plus the program's local-averaging count, 26 lines of one number each.
#ifndef TOV_SETTINGS_FILE_H
#define TOV_SETTINGS_FILE_H

#include <cstdint>

#include "tovdrv.h"

namespace tov {

constexpr const char* kConfigFileName = "tovset.cfg";

// The settings a record gets when there is no file. The mode word is left
// alone: the driver rebuilds it at every sign-on.
void SetConfigurationDefaults(DeviceRecord* rec, int32_t& localAveraging);

// Reads the file into rec and localAveraging. False (and the defaults) when
// the file cannot be opened. A line without a number, a missing line, or a
// value the program cannot use (a baud index outside the table, an averaging
// count below 1, ...) leaves that field as it was.
bool LoadConfiguration(DeviceRecord* rec, int32_t& localAveraging,
                       const char* fileName = kConfigFileName);

// Rewrites the file from rec and localAveraging: written whole to
// "<fileName>.tmp" beside it, checked, then put in its place. False, with the
// file as it was, when any of that fails (a full disk, no room for the
// temporary file).
bool SaveConfiguration(const DeviceRecord* rec, int32_t localAveraging,
                       const char* fileName = kConfigFileName);

}  // namespace tov

#endif
