// The logger's stop requests and waits on Windows. Ctrl-C, Ctrl-Break and
// closing the console reach the console control handler on its own thread,
// which sets an event that every wait watches. A wait for input blocks on
// that event and the driver's input event of the port together.
#include <io.h>
#include <windows.h>

#include "console_close_win32.h"
#include "logger_platform.h"
#include "port_input_win32.h"

namespace tov::logger {

namespace {

volatile LONG stopFlag = 0;
HANDLE stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
  InterlockedExchange(&stopFlag, 1);
  if (stopEvent) SetEvent(stopEvent);
  // Closing the console, logging off or shutting down ends the process as
  // soon as this returns: give the run the time to stop the converter and
  // write its last lines. Ctrl-C and Ctrl-Break return at once.
  const bool ending =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (ending) tov::platform::holdUntilStopped();
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
  // Every way out of the program signals that it has stopped, runEnded or not.
  tov::platform::prepareForConsoleClose();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stopRequested() {
  return InterlockedCompareExchange(&stopFlag, 0, 0) != 0;
}

void runEnded() {
  tov::platform::signalStopped();
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
  if (stopRequested()) return PortWait::Stop;
  HANDLE portInput = tov::platform::portInputEventOf(port);
  // A port the driver does not hold open has no input event: it is gone.
  if (port != INVALID_HANDLE_VALUE && !portInput) return PortWait::Gone;
  if (!portInput) return sleepUntil(deadlineMs);
  PortWait result = PortWait::Deadline;
  for (;;) {
    if (stopRequested()) {
      result = PortWait::Stop;
      break;
    }
    const DWORD left = msUntil(deadlineMs);
    if (left == 0) break;
    HANDLE handles[2] = {portInput, stopEvent};
    if (WaitForMultipleObjects(2, handles, FALSE, left) == WAIT_OBJECT_0) {
      result = PortWait::Input;
      break;
    }
  }
  return result;
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
