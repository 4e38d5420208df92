// Raw access to the port table, the debug log, and what the driver does when
// a process loads and unloads it.
#include <ctime>

#include "link.h"

using namespace tov;

namespace {

constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;

}  // namespace

void TOVAPI GetComHandle(DeviceRecord* rec, TovHandle* handle) {
  if (handle) *handle = slotHandle(rec);
}

// The caller takes over the slot: what was there is neither closed nor kept.
void TOVAPI SetComHandle(DeviceRecord* rec, TovHandle handle) {
  setSlotHandle(rec, handle);
}

uint8_t TOVAPI DoDebug(DeviceRecord* /*rec*/, uint8_t level) {
  if (!debugLog) {
    debugLog = std::fopen("K73_debug.txt", "wt");
    if (!debugLog) return 0;
    bDbgLvl = level;
    const std::time_t now = std::time(nullptr);
    std::fprintf(debugLog, "This log file created:  %s", std::ctime(&now));
    std::fflush(debugLog);
  }
  // The level recorded when the log was created, whatever this call asked for.
  std::fprintf(debugLog, "bDbgLvl:  %d\r\n", bDbgLvl);
  std::fflush(debugLog);
  return 1;
}

int32_t TOVAPI DllEntryPoint(void* /*module*/, uint32_t reason, void* /*reserved*/) {
  if (reason == kProcessAttach) {
    freeAllPortSlots();
  } else if (reason == kProcessDetach) {
    if (debugLog) {
      std::fclose(debugLog);
      debugLog = nullptr;
      bDbgLvl = 0;
    }
    // The converters are not told: they simply hear nothing more.
    closeAllPorts();
  }
  return 1;
}
