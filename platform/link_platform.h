// The driver's one seam to the operating system: time, waits and serial bytes.
//
// The driver keeps every protocol rule (deadlines, retries, counts) above this
// line; below it are three implementations: POSIX (termios, poll, a monotonic
// clock), Win32 (the serial communications API) and a virtual bench for tests
// whose clock jumps straight to the next deadline or arriving byte.
//
// Every wait returns no later than its deadline and as soon as its condition
// holds; none of them spins.
#ifndef TOV_PLATFORM_LINK_PLATFORM_H
#define TOV_PLATFORM_LINK_PLATFORM_H

#include <cstdint>

#include "tovdrv.h"

namespace tov::platform {

// Milliseconds of wall time since the process started (monotonic).
int64_t nowMs();

// Returns once nowMs() >= deadlineMs. On Windows the calling thread's message
// queue is peeked (never emptied) while waiting when pumpMessages is true.
void sleepUntil(int64_t deadlineMs, bool pumpMessages);

// Returns when a byte is waiting on the port, or nowMs() >= deadlineMs, or the
// port cannot be waited on (then it sleeps to the deadline). Peeks the
// message queue on Windows.
void waitForInput(TovHandle port, int64_t deadlineMs);

// Returns when the port can take a byte, or at the deadline. A port that
// cannot be written at all sleeps to the deadline.
void waitForOutput(TovHandle port, int64_t deadlineMs);

// Opens the serial port COM<comNumber> at `baud`, 8 data bits, no parity,
// 1 stop bit, DTR on, RTS off, no flow control, reads that return at once.
// writeTimeoutMs 0 means no write time-out. Fills *dcb with the settings
// that were applied. Returns TOV_INVALID_HANDLE when the port cannot be
// opened or configured.
TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
                     uint32_t outQueueSize, TovDcb* dcb);
// The settings every open applies, as serialOpen reports them in *dcb
// (nothing when dcb is null): 8N1 at `baud`, DTR on, RTS off.
inline void describeLink(TovDcb* dcb, uint32_t baud) {
  if (!dcb) return;
  dcb->DCBlength = sizeof(TovDcb);
  dcb->BaudRate = baud;
  dcb->fDtrControl = 1;
  dcb->fRtsControl = 0;
  dcb->ByteSize = 8;
  dcb->Parity = 0;
  dcb->StopBits = 0;
}
// Why the last serialOpen failed (no such port, not a URL, unknown host,
// refused, timed out ...), for the debug log.
const char* serialOpenFailure();
void serialClose(TovHandle port);
// Discards everything waiting to be read. Bytes a write call has taken are
// not taken back: writes are synchronous, as on a COM port.
void serialPurge(TovHandle port);
// Fills the status (bytes waiting each way); false when the port is not usable.
bool serialStatus(TovHandle port, TovComStat* status);
// Writes one byte without waiting; true when it was written.
bool serialWriteByte(TovHandle port, uint8_t byte);
// Reads one byte if one is waiting, at once; false when none was taken.
bool serialReadByte(TovHandle port, uint8_t* byte);

}  // namespace tov::platform

#endif
