// Loading the driver library at run time.
#ifndef TOV_PLATFORM_LIBRARY_H
#define TOV_PLATFORM_LIBRARY_H

namespace tov::lib {

// Loads the library by file name: beside the program first, then by the
// system's search. Null when it cannot be loaded.
void* load(const char* fileName);
void* symbol(void* module, const char* name);
void release(void* module);

// The driver's file name on this platform ("tovdrv.dll" or "libtovdrv.so").
const char* driverFileName();

}  // namespace tov::lib

#endif
