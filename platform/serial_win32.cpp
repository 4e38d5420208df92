// The serial port through the Win32 communications API.
//
// The port is opened for overlapped I/O so that one read can stay outstanding
// while the driver and its program do other things. Whenever the driver has
// taken every byte it was given, it leaves a one-byte read waiting on the
// port; that read ends at the converter's next byte and sets the port's input
// event (port_input_win32.h), which the driver's own waits and a program's
// waits block on. Bytes taken from the line before the driver asks for them
// wait in the port's read-ahead, and every count the driver reports includes
// them. Nothing here polls or raises the system timer.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "handle_port.h"
#include "port_input_win32.h"
#include "wait_win32.h"

namespace tov::platform {
namespace {

// A read left waiting ends at the first byte or after this long, then is
// started again; the constant only has to be finite.
constexpr DWORD kWaitingReadMs = 600000;
constexpr DWORD kAheadSize = 512;
// How long a cancelled read may take to give up its buffer.
constexpr DWORD kCancelGraceMs = 2000;

struct OpenPort {
  volatile HANDLE handle;  // INVALID_HANDLE_VALUE while the slot is free
  HANDLE inputEvent;       // set when the waiting read ends
  HANDLE ioEvent;          // writes and immediate reads, one at a time
  OVERLAPPED waitingRead;
  bool readWaiting;
  uint8_t waitedByte;
  uint32_t baud;
  uint8_t ahead[kAheadSize];
  DWORD aheadStart;
  DWORD aheadEnd;
};

// One entry per port the driver can hold open; programs open few.
OpenPort ports[TOV_PORT_SLOTS];

struct FreeAtLoad {
  FreeAtLoad() {
    for (OpenPort& p : ports) p.handle = INVALID_HANDLE_VALUE;
  }
} freeAtLoad;

thread_local char openFailure[96];

OpenPort* portOf(TovHandle handle) {
  if (handle == TOV_INVALID_HANDLE || handle == nullptr) return nullptr;
  for (OpenPort& p : ports) {
    if (p.handle == handle) return &p;
  }
  return nullptr;
}

// Each port is used by one thread at a time; the claim keeps two threads that
// open ports at once from taking the same entry.
OpenPort* claimEntry(HANDLE handle) {
  for (OpenPort& p : ports) {
    if (InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&p.handle), handle,
                                          INVALID_HANDLE_VALUE) == INVALID_HANDLE_VALUE) {
      return &p;
    }
  }
  return nullptr;
}

// "\\.\COMn" reaches every port; the bare "COMn" only names COM1 to COM9.
void portPath(int comNumber, char* path, size_t size) {
  snprintf(path, size, "\\\\.\\COM%d", comNumber);
}

// The converter link: 8 data bits, no parity, one stop bit, DTR on, RTS off,
// and nothing left over from whoever used the port before that could hold
// bytes back (flow control, DSR sensitivity, abort on error, null stripping).
void applyLinkFormat(DCB* dcb, uint32_t baud) {
  dcb->BaudRate = baud;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fAbortOnError = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  // SetCommState refuses equal XON and XOFF characters even with XON/XOFF
  // off, as a record that was never filled in would have them.
  if (dcb->XonChar == dcb->XoffChar) {
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
  }
}

// A read ends as soon as it has a byte, or, with nothing arriving, after
// kWaitingReadMs; reads of what the port reports waiting end at once. Writes
// keep the time-out the open asked for.
bool applyTimeouts(HANDLE handle, DWORD writeTimeoutMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = kWaitingReadMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
  return SetCommTimeouts(handle, &timeouts) != 0;
}

DWORD aheadCount(const OpenPort* p) {
  return p->aheadEnd - p->aheadStart;
}

// Callers take no more than the read-ahead has room for.
void keep(OpenPort* p, const uint8_t* bytes, DWORD count) {
  if (p->aheadEnd + count > kAheadSize) {
    memmove(p->ahead, p->ahead + p->aheadStart, aheadCount(p));
    p->aheadEnd -= p->aheadStart;
    p->aheadStart = 0;
  }
  for (DWORD i = 0; i < count && p->aheadEnd < kAheadSize; ++i) p->ahead[p->aheadEnd++] = bytes[i];
}

// Collects the waiting read if it has ended: its byte joins the read-ahead.
void collect(OpenPort* p) {
  if (!p->readWaiting) return;
  DWORD count = 0;
  if (!GetOverlappedResult(p->handle, &p->waitingRead, &count, FALSE)) {
    if (GetLastError() == ERROR_IO_INCOMPLETE) return;
    count = 0;  // failed or cancelled: nothing was read
  }
  p->readWaiting = false;
  if (count == 1) keep(p, &p->waitedByte, 1);
}

// Leaves a one-byte read waiting for the next byte, unless one already is or
// the read-ahead still holds bytes (the input event then stays set from the
// read that brought them). A read that ends at once is collected at once.
void startWaitingRead(OpenPort* p) {
  if (p->readWaiting || aheadCount(p) > 0) return;
  p->waitingRead = OVERLAPPED{};
  p->waitingRead.hEvent = p->inputEvent;
  if (ReadFile(p->handle, &p->waitedByte, 1, nullptr, &p->waitingRead) ||
      GetLastError() == ERROR_IO_PENDING) {
    p->readWaiting = true;
    collect(p);
    return;
  }
  // A port that refuses reads (gone) has nothing to announce: a waiter then
  // sleeps to its deadline rather than waking again and again.
  ResetEvent(p->inputEvent);
}

// Ends a waiting read (before a purge or a close). A byte it already took
// is kept; the caller decides whether it stays.
void cancelWaitingRead(OpenPort* p) {
  if (!p->readWaiting) return;
  CancelIoEx(p->handle, &p->waitingRead);
  WaitForSingleObject(p->inputEvent, kCancelGraceMs);
  collect(p);
  p->readWaiting = false;
}

// What has arrived, taken into the read-ahead (no read is waiting). Only
// the count the port reports is asked for, so the read ends at once: not
// every implementation of the serial API ends an overlapped read at once
// when nothing has arrived, whatever the time-outs say.
void takeArrived(OpenPort* p) {
  if (p->readWaiting) return;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(p->handle, &errors, &status) || status.cbInQue == 0) return;
  const DWORD room = kAheadSize - aheadCount(p);
  const DWORD wanted = status.cbInQue < room ? status.cbInQue : room;
  if (wanted == 0) return;
  uint8_t bytes[kAheadSize];
  OVERLAPPED op{};
  op.hEvent = p->ioEvent;
  DWORD count = 0;
  if (!ReadFile(p->handle, bytes, wanted, nullptr, &op) && GetLastError() != ERROR_IO_PENDING)
    return;
  if (!GetOverlappedResult(p->handle, &op, &count, TRUE)) return;
  keep(p, bytes, count);
}

// Sleeps to the deadline when a port cannot be waited on.
void sleepOut(int64_t deadlineMs) {
  sleepUntil(deadlineMs, true);
}

// A handle put in a port slot from outside (SetComHandle) has no entry: the
// driver waits on it with one read that ends at the first byte or the
// deadline, under time-outs set for that read and put back after it, and
// holds the byte it took until it is asked for.
struct OutsideByte {
  HANDLE handle = nullptr;
  bool held = false;
  uint8_t byte = 0;
};
thread_local OutsideByte outside;

bool outsideHeld(HANDLE handle) {
  return outside.held && outside.handle == handle;
}

DWORD msUntil(int64_t deadlineMs);

void waitOnOutsideHandle(HANDLE handle, int64_t deadlineMs) {
  if (outsideHeld(handle)) return;
  const DWORD ms = msUntil(deadlineMs);
  COMMTIMEOUTS saved{};
  if (ms == 0 || !GetCommTimeouts(handle, &saved)) {
    sleepOut(deadlineMs);
    return;
  }
  COMMTIMEOUTS untilDeadline = saved;
  untilDeadline.ReadIntervalTimeout = MAXDWORD;
  untilDeadline.ReadTotalTimeoutMultiplier = MAXDWORD;
  untilDeadline.ReadTotalTimeoutConstant = ms;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED op{};
  op.hEvent = done;
  DWORD count = 0;
  uint8_t byte = 0;
  const bool read =
      done && SetCommTimeouts(handle, &untilDeadline) &&
      (ReadFile(handle, &byte, 1, nullptr, &op) || GetLastError() == ERROR_IO_PENDING) &&
      GetOverlappedResult(handle, &op, &count, TRUE);
  SetCommTimeouts(handle, &saved);
  if (done) CloseHandle(done);
  if (!read) {
    sleepOut(deadlineMs);  // a handle that cannot be read is waited out
    return;
  }
  if (count == 1) outside = OutsideByte{handle, true, byte};
  peekMessages();
}

DWORD msUntil(int64_t deadlineMs) {
  const int64_t left = deadlineMs - nowMs();
  if (left <= 0) return 0;
  // Rounded up: the wait never ends before the deadline it was given.
  return left > 3600000 ? 3600000 : static_cast<DWORD>(left);
}

}  // namespace

TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
                     uint32_t outQueueSize, TovDcb* dcb) {
  char path[32];
  portPath(comNumber, path, sizeof path);
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    snprintf(openFailure, sizeof openFailure, "%s: cannot be opened (error %lu)", path,
             static_cast<unsigned long>(GetLastError()));
    return TOV_INVALID_HANDLE;
  }
  OpenPort* p = claimEntry(handle);
  if (!p) {
    snprintf(openFailure, sizeof openFailure, "%s: too many ports open", path);
    CloseHandle(handle);
    return TOV_INVALID_HANDLE;
  }
  char eventName[64];
  portInputEventName(handle, eventName, sizeof eventName);
  p->inputEvent = CreateEventA(nullptr, TRUE, FALSE, eventName);
  p->ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->readWaiting = false;
  p->baud = baud;
  p->aheadStart = p->aheadEnd = 0;

  // Start from the port's own settings so that members the mode string does
  // not mention hold valid values (equal XON and XOFF characters are refused).
  DCB settings = *dcb;
  settings.DCBlength = sizeof settings;
  GetCommState(handle, &settings);

  char mode[48];
  snprintf(mode, sizeof mode, "COM%d:%lu,n,8,1", comNumber, static_cast<unsigned long>(baud));
  BuildCommDCBA(mode, &settings);
  // Also set what the mode string says, in case the parser refused the
  // string (as some do for port numbers of two digits or more).
  applyLinkFormat(&settings, baud);
  SetCommState(handle, &settings);
  *dcb = settings;

  if (!p->inputEvent || !p->ioEvent || !SetupComm(handle, inQueueSize, outQueueSize) ||
      !applyTimeouts(handle, writeTimeoutMs)) {
    snprintf(openFailure, sizeof openFailure, "%s: cannot be configured", path);
    serialClose(handle);
    return TOV_INVALID_HANDLE;
  }
  serialPurge(handle);
  return handle;
}

const char* serialOpenFailure() {
  return openFailure;
}

void serialClose(TovHandle handle) {
  OpenPort* p = portOf(handle);
  if (!p) {
    CloseHandle(handle);
    return;
  }
  cancelWaitingRead(p);
  CloseHandle(handle);
  if (p->inputEvent) CloseHandle(p->inputEvent);
  if (p->ioEvent) CloseHandle(p->ioEvent);
  p->inputEvent = p->ioEvent = nullptr;
  InterlockedExchangePointer(const_cast<PVOID volatile*>(&p->handle), INVALID_HANDLE_VALUE);
}

void serialPurge(TovHandle handle) {
  OpenPort* p = portOf(handle);
  if (p) {
    cancelWaitingRead(p);
    p->aheadStart = p->aheadEnd = 0;
  }
  if (outsideHeld(handle)) outside.held = false;
  // Only what came in. Clearing the transmit side as well would throw away
  // bytes still queued for the converter, CloseDevice's stop command among
  // them, which is then never sent.
  PurgeComm(handle, PURGE_RXCLEAR);
}

bool serialStatus(TovHandle handle, TovComStat* status) {
  DWORD errors = 0;
  OpenPort* p = portOf(handle);
  if (p) collect(p);
  if (!ClearCommError(handle, &errors, status)) return false;
  if (!p) {
    if (outsideHeld(handle)) status->cbInQue += 1;
    return true;
  }
  status->cbInQue += aheadCount(p);
  // Whoever asks for the count may wait next: the next byte must wake them.
  startWaitingRead(p);
  return true;
}

bool serialWriteByte(TovHandle handle, uint8_t byte) {
  OpenPort* p = portOf(handle);
  OVERLAPPED op{};
  op.hEvent = p ? p->ioEvent : nullptr;
  DWORD written = 0;
  if (!WriteFile(handle, &byte, 1, nullptr, &op) && GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  return GetOverlappedResult(handle, &op, &written, TRUE) && written == 1;
}

bool serialReadByte(TovHandle handle, uint8_t* byte) {
  OpenPort* p = portOf(handle);
  if (!p) {
    if (outsideHeld(handle)) {
      outside.held = false;
      *byte = outside.byte;
      return true;
    }
    // Only a byte the port reports waiting, so that the read ends at once
    // whatever time-outs its opener set.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status) || status.cbInQue == 0) return false;
    DWORD count = 0;
    OVERLAPPED op{};
    op.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool read =
        op.hEvent &&
        (ReadFile(handle, byte, 1, nullptr, &op) || GetLastError() == ERROR_IO_PENDING) &&
        GetOverlappedResult(handle, &op, &count, TRUE) && count == 1;
    if (op.hEvent) CloseHandle(op.hEvent);
    return read;
  }
  collect(p);
  if (aheadCount(p) == 0) takeArrived(p);
  if (aheadCount(p) == 0) return false;
  *byte = p->ahead[p->aheadStart++];
  return true;
}

void waitForInput(TovHandle handle, int64_t deadlineMs) {
  OpenPort* p = portOf(handle);
  if (!p) {
    waitOnOutsideHandle(handle, deadlineMs);
    return;
  }
  collect(p);
  startWaitingRead(p);
  if (aheadCount(p) > 0) return;
  if (!p->readWaiting) {
    sleepOut(deadlineMs);  // the port refuses reads: it is gone
    return;
  }
  // Wakes for a window message too: the caller's queue is peeked, never
  // emptied, and the caller's loop comes back here.
  MsgWaitForMultipleObjects(1, &p->inputEvent, FALSE, msUntil(deadlineMs), QS_ALLINPUT);
  peekMessages();
  collect(p);
}

void waitForOutput(TovHandle handle, int64_t deadlineMs) {
  // Writes wait in WriteFile itself; one that failed comes back here. Give
  // the port the time its queued bytes take on the line, at least one byte's.
  DWORD errors = 0;
  COMSTAT status{};
  OpenPort* p = portOf(handle);
  const bool known = ClearCommError(handle, &errors, &status) != 0 && p != nullptr;
  if (!known) {
    sleepOut(deadlineMs);
    return;
  }
  const uint32_t baud = p->baud > 0 ? p->baud : 300;
  const int64_t drainMs = (int64_t(status.cbOutQue) + 1) * 10000 / baud + 1;
  sleepUntil(deadlineMs < nowMs() + drainMs ? deadlineMs : nowMs() + drainMs, false);
}

}  // namespace tov::platform
