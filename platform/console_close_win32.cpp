// The "stopped" event behind console_close_win32.h.
#include "console_close_win32.h"

#include <windows.h>

#include <cstdlib>

namespace tov::platform {
namespace {

// Windows ends a closing console's process about 5 s after the event.
constexpr DWORD kCloseGraceMs = 4500;

HANDLE stoppedEvent = nullptr;

void signalStoppedAtExit() {
  signalStopped();
}

}  // namespace

void prepareForConsoleClose() {
  if (stoppedEvent) return;
  stoppedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atexit(signalStoppedAtExit);
}

void holdUntilStopped() {
  if (stoppedEvent) WaitForSingleObject(stoppedEvent, kCloseGraceMs);
}

void signalStopped() {
  if (stoppedEvent) SetEvent(stoppedEvent);
}

}  // namespace tov::platform
