// How a program waits for the driver's input on a port it opened.
//
// The driver keeps one read outstanding on each open port whenever it has
// nothing of its own to give; the read ends at the converter's next byte and
// sets an event named after the process and the port's handle. A program
// waiting on its own keys or stop request and the port together opens that
// event by the same name and waits on it beside them: it never reads the
// port or asks it for its status, which would take bytes or clear error state
// that belong to the driver.
#ifndef TOV_PLATFORM_PORT_INPUT_WIN32_H
#define TOV_PLATFORM_PORT_INPUT_WIN32_H

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace tov::platform {

// The name of the event the driver sets when input arrives on `port`.
inline void portInputEventName(HANDLE port, char* name, size_t size) {
  std::snprintf(name, size, "Local\\tovdrv-input-%lu-%llx",
                static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(port)));
}

// The driver's input event of `port` for waiting on (close it after the
// wait), or null when the port is not one the driver opened.
inline HANDLE openPortInputEvent(HANDLE port) {
  if (port == nullptr || port == INVALID_HANDLE_VALUE) return nullptr;
  char name[64];
  portInputEventName(port, name, sizeof name);
  return OpenEventA(SYNCHRONIZE, FALSE, name);
}

// The same, opened once and kept while the program waits on the same port
// (a port the driver closes and opens again under the same handle has the
// same event). Not to be closed by the caller.
inline HANDLE portInputEventOf(HANDLE port) {
  // A wait without the port keeps the event for the next wait with it.
  if (port == nullptr || port == INVALID_HANDLE_VALUE) return nullptr;
  static HANDLE knownPort = nullptr;
  static HANDLE knownEvent = nullptr;
  if (port == knownPort && knownEvent) return knownEvent;
  if (knownEvent) CloseHandle(knownEvent);
  knownEvent = openPortInputEvent(port);
  knownPort = port;
  return knownEvent;
}

}  // namespace tov::platform

#endif
