// The serial port through the Win32 communications API.
//
// The port is opened for synchronous I/O, as a client that takes the handle
// with GetComHandle expects. Reads return at once (MAXDWORD interval
// time-out); waits for input look at the driver's input count in 1 ms slices,
// peeking the caller's message queue at each wake-up, and never spin.
#include <windows.h>

#include <cstdio>

#include "handle_port.h"
#include "wait_win32.h"

namespace tov::platform {
namespace {

constexpr int64_t kPollSliceMs = 1;

thread_local char openFailure[96];  // each thread reads its own open's failure

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

bool inputWaiting(TovHandle port, bool* usable) {
  DWORD errors = 0;
  COMSTAT status{};
  *usable = ClearCommError(port, &errors, &status) != 0;
  return *usable && status.cbInQue > 0;
}

}  // namespace

TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
                     uint32_t outQueueSize, TovDcb* dcb) {
  char path[32];
  portPath(comNumber, path, sizeof path);
  HANDLE port =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    snprintf(openFailure, sizeof openFailure, "%s: cannot be opened (error %lu)", path,
             static_cast<unsigned long>(GetLastError()));
    return TOV_INVALID_HANDLE;
  }

  // Start from the port's own settings so that members the mode string does
  // not mention hold valid values (equal XON and XOFF characters are refused).
  DCB settings = *dcb;
  settings.DCBlength = sizeof settings;
  GetCommState(port, &settings);

  char mode[48];
  snprintf(mode, sizeof mode, "COM%d:%lu,n,8,1", comNumber, static_cast<unsigned long>(baud));
  BuildCommDCBA(mode, &settings);
  // Also set what the mode string says, in case the parser refused the
  // string (as some do for port numbers of two digits or more).
  applyLinkFormat(&settings, baud);
  SetCommState(port, &settings);
  *dcb = settings;

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
  if (!SetupComm(port, inQueueSize, outQueueSize) || !SetCommTimeouts(port, &timeouts)) {
    snprintf(openFailure, sizeof openFailure, "%s: cannot be configured", path);
    CloseHandle(port);
    return TOV_INVALID_HANDLE;
  }
  serialPurge(port);
  return port;
}

const char* serialOpenFailure() {
  return openFailure;
}

void serialClose(TovHandle port) {
  CloseHandle(port);
}

void serialPurge(TovHandle port) {
  // Only what came in. Clearing the transmit side as well would throw away
  // bytes still queued for the converter, CloseDevice's stop command among
  // them, which is then never sent.
  PurgeComm(port, PURGE_RXCLEAR);
}

bool serialStatus(TovHandle port, TovComStat* status) {
  DWORD errors = 0;
  return ClearCommError(port, &errors, status) != 0;
}

bool serialWriteByte(TovHandle port, uint8_t byte) {
  DWORD written = 0;
  return WriteFile(port, &byte, 1, &written, nullptr) && written == 1;
}

bool serialReadByte(TovHandle port, uint8_t* byte) {
  uint8_t taken = 0;
  DWORD count = 0;
  if (!ReadFile(port, &taken, 1, &count, nullptr) || count != 1) return false;
  *byte = taken;
  return true;
}

void waitForInput(TovHandle port, int64_t deadlineMs) {
  FineTimer timer;
  bool usable = true;
  while (nowMs() < deadlineMs && !inputWaiting(port, &usable)) {
    // A port that cannot report its input count cannot be waited on: sleep
    // out the deadline instead of polling a dead handle.
    waitSlice(deadlineMs, usable ? kPollSliceMs : 1000, true);
  }
}

void waitForOutput(TovHandle port, int64_t deadlineMs) {
  FineTimer timer;
  DWORD errors = 0;
  COMSTAT status{};
  while (nowMs() < deadlineMs) {
    if (!ClearCommError(port, &errors, &status)) {
      waitSlice(deadlineMs, 1000, false);
      continue;
    }
    // Synchronous writes block in WriteFile itself; the caller only comes here
    // after a write that took nothing, so give the port at least one slice.
    waitSlice(deadlineMs, kPollSliceMs, false);
    if (status.cbOutQue == 0) return;
  }
}

}  // namespace tov::platform
