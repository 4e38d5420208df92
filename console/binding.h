// Loading the driver library at start-up and binding the exports the program
// uses into tov::driver.
#ifndef TOV_CONSOLE_BINDING_H
#define TOV_CONSOLE_BINDING_H

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
constexpr int kBoundExportCount = 26;
extern const char* const kBoundExportNames[kBoundExportCount];

}  // namespace tov

#endif
