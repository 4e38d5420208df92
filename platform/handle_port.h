// A backend in which the OS handle is the whole port (the Win32 serial
// port, the tests' virtual bench): it implements these calls on the handle,
// and handle_port.cpp makes the port objects of link_platform.h from them.
#ifndef TOV_PLATFORM_HANDLE_PORT_H
#define TOV_PLATFORM_HANDLE_PORT_H

#include <cstdint>

#include "link_platform.h"
#include "tovdrv.h"

namespace tov::platform {

// As portOpen, with the handle or TOV_INVALID_HANDLE.
TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
                     uint32_t outQueueSize, TovDcb* dcb);
const char* serialOpenFailure();
void serialClose(TovHandle port);
void serialPurge(TovHandle port);
bool serialStatus(TovHandle port, TovComStat* status);
bool serialWriteByte(TovHandle port, uint8_t byte);
bool serialReadByte(TovHandle port, uint8_t* byte);
void waitForInput(TovHandle port, int64_t deadlineMs);
void waitForOutput(TovHandle port, int64_t deadlineMs);

}  // namespace tov::platform

#endif
