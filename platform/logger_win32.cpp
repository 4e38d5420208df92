// The logger's stop requests and waits on Windows. Ctrl-C, Ctrl-Break and
// closing the console reach the console control handler on its own thread,
// which sets an event that every wait watches. A COM port opened for plain
// (not overlapped) reads cannot be waited on, so waits for input look at
// its queue between short waits on the event.
#include <io.h>
#include <windows.h>

#include "logger_platform.h"

namespace tov::logger {

namespace {

constexpr DWORD kPortLookMs = 2;
// Windows allows a close handler about 5 s before it ends the process.
constexpr DWORD kCloseGraceMs = 4500;

volatile LONG stopFlag = 0;
HANDLE stopEvent = nullptr;
HANDLE endedEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
  InterlockedExchange(&stopFlag, 1);
  if (stopEvent) SetEvent(stopEvent);
  // Closing the console, logging off or shutting down ends the process as
  // soon as this returns: give the run the time to stop the converter and
  // write its last lines. Ctrl-C and Ctrl-Break return at once.
  const bool ending =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (ending && endedEvent) WaitForSingleObject(endedEvent, kCloseGraceMs);
  return TRUE;
}

DWORD msUntil(int64_t deadlineMs) {
  const int64_t left = deadlineMs - monotonicMs();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<DWORD>(left);
}

}  // namespace

void installStopHandlers() {
  if (!stopEvent) stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!endedEvent) endedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stopRequested() {
  return InterlockedCompareExchange(&stopFlag, 0, 0) != 0;
}

void runEnded() {
  if (endedEvent) SetEvent(endedEvent);
}

int64_t monotonicMs() {
  return static_cast<int64_t>(GetTickCount64());
}

int64_t utcMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100 ns units since 1601-01-01 to ms since 1970-01-01.
  return static_cast<int64_t>(t.QuadPart / 10000) - 11644473600000LL;
}

PortWait waitForPortInput(TovHandle port, int64_t deadlineMs) {
  for (;;) {
    if (stopRequested()) return PortWait::Stop;
    if (port != INVALID_HANDLE_VALUE) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(port, &errors, &status)) return PortWait::Gone;
      if (status.cbInQue > 0) return PortWait::Input;
    }
    const DWORD left = msUntil(deadlineMs);
    if (left == 0) return PortWait::Deadline;
    const DWORD slice = port != INVALID_HANDLE_VALUE && left > kPortLookMs ? kPortLookMs : left;
    WaitForSingleObject(stopEvent, slice);
  }
}

PortWait sleepUntil(int64_t deadlineMs) {
  for (;;) {
    if (stopRequested()) return PortWait::Stop;
    const DWORD left = msUntil(deadlineMs);
    if (left == 0) return PortWait::Deadline;
    WaitForSingleObject(stopEvent, left);
  }
}

bool stderrIsTerminal() {
  return _isatty(2) != 0;  // standard error
}

}  // namespace tov::logger
