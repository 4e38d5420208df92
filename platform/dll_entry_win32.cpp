// The library's load notifications on Windows. The C runtime's start-up code
// for a DLL calls DllMain once it has set itself up; the driver's exported
// DllEntryPoint does the work, so a client calling it directly gets the same
// behaviour as the loader.
#include <windows.h>

#include "tovdrv.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  return DllEntryPoint(module, reason, reserved) != 0;
}
