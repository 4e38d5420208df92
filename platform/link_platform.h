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

// An open port: a local serial device, or on Linux a port served over the
// network, chosen once when it is opened. The driver's port slot holds it and
// every call goes straight to it. A null port is a free slot: reads find
// nothing, writes fail, waits sleep to their deadline.
class Port;

// Opens the serial port COM<comNumber> at `baud`, 8 data bits, no parity,
// 1 stop bit, DTR on, RTS off, no flow control, reads that return at once.
// writeTimeoutMs 0 means no write time-out. Fills *dcb with the settings
// that were applied. Null when the port cannot be opened or configured.
Port* portOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
               uint32_t outQueueSize, TovDcb* dcb);
// The same port at another rate, for a sign-on that switches the line: a
// remote port changes the rate on its open connection; otherwise the port
// is closed and opened again. Null (the port closed) when that fails.
Port* portReopen(Port* port, int comNumber, uint32_t baud, uint32_t writeTimeoutMs,
                 uint32_t inQueueSize, uint32_t outQueueSize, TovDcb* dcb);
// Why the calling thread's last portOpen failed (no such port, not a URL,
// unknown host, refused, timed out ...), for the debug log.
const char* portOpenFailure();
// The port a client put in a slot by its handle: the open port with that
// handle, or the handle taken as a local port. Null for TOV_INVALID_HANDLE.
Port* portAdopt(TovHandle handle);
// The OS handle a client may take; TOV_INVALID_HANDLE for a null port.
TovHandle portHandle(const Port* port);
// Closes the port; the slot that held it holds it no longer.
void portClose(Port* port);
// The slot forgets the port without closing it (a client took it over).
void portRelease(Port* port);

// The settings every open applies, as portOpen reports them in *dcb
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

// Returns when a byte is waiting on the port, or nowMs() >= deadlineMs, or the
// port cannot be waited on (then it sleeps to the deadline). Peeks the
// message queue on Windows.
void portWaitForInput(Port* port, int64_t deadlineMs);
// Returns when the port can take a byte, or at the deadline. A port that
// cannot be written at all sleeps to the deadline.
void portWaitForOutput(Port* port, int64_t deadlineMs);
// Discards everything waiting to be read. Bytes a write call has taken are
// not taken back: writes are synchronous, as on a COM port.
void portPurge(Port* port);
// Fills the status (bytes waiting each way); false when the port is not usable.
bool portStatus(Port* port, TovComStat* status);
// Writes one byte without waiting; true when it was written. A port known
// to be gone fails at once.
bool portWriteByte(Port* port, uint8_t byte);
// The port was open and the platform found it gone (hung up, unplugged, its
// server went away): writes fail at once. False for a null port.
bool portGone(const Port* port);
// Reads one byte if one is waiting, at once; false when none was taken.
bool portReadByte(Port* port, uint8_t* byte);

}  // namespace tov::platform

#endif
