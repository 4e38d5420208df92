// Loading the driver at run time on Windows. LoadLibraryA's ordinary search
// looks in the program's own folder first.
#include <windows.h>

#include "library.h"

namespace tov::lib {

void* load(const char* fileName) {
  return reinterpret_cast<void*>(LoadLibraryA(fileName));
}

void* symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void release(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

const char* driverFileName() {
  return "tovdrv.dll";
}

}  // namespace tov::lib
