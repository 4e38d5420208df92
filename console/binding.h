// Loading the driver library at start-up and binding the exports the program
// uses into tov::driver.
#ifndef TOV_CONSOLE_BINDING_H
#define TOV_CONSOLE_BINDING_H

#include "tovdrv_exports.h"

namespace tov {

// The loaded driver; null before loading and after release.
extern void* driverModule;

// Loads the driver (by default the platform's driver file, beside the
// program first). On failure: box "Error loading tovdrv.DLL", false.
bool LoadDriver(const char* fileName = nullptr);

// Resolves the 26 exports in binding order. At the first one missing: its
// box, the library released, false.
bool BindDriver();

// Releases the library; always true.
bool UnloadDriver();

// The export names in binding order, for messages and tests.
#define TOV_COUNT_ONE(name) +1
constexpr int kBoundExportCount = 0 TOVDRV_EXPORTS(TOV_COUNT_ONE, TOVDRV_SKIP);
#undef TOV_COUNT_ONE
extern const char* const kBoundExportNames[kBoundExportCount];

}  // namespace tov

#endif
