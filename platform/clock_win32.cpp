// Milliseconds since start and deadline-bounded sleeps on Windows.
//
// The clock is the performance counter, read relative to the moment the
// library was loaded: monotonic, and finer than GetTickCount's 16 ms steps.
// Waits sleep in slices that end at the deadline, with the system timer held
// at 1 ms, so a wait ends about a millisecond late at most and never spins.
#include <windows.h>

#include "link_platform.h"
#include "wait_win32.h"

namespace tov::platform {
namespace {

LARGE_INTEGER counterAt() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value;
}

const LARGE_INTEGER startCount = counterAt();

int64_t counterFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  return frequency;
}

}  // namespace

int64_t nowMs() {
  const int64_t ticks = counterAt().QuadPart - startCount.QuadPart;
  const int64_t frequency = counterFrequency();
  // Split to keep ticks * 1000 from overflowing after long uptimes.
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

FineTimer::FineTimer() {
  timeBeginPeriod(1);
}
FineTimer::~FineTimer() {
  timeEndPeriod(1);
}

void waitSlice(int64_t deadlineMs, int64_t maxSliceMs, bool pumpMessages) {
  const int64_t remaining = deadlineMs - nowMs();
  if (remaining <= 0) return;
  const DWORD slice = static_cast<DWORD>(remaining < maxSliceMs ? remaining : maxSliceMs);
  if (!pumpMessages) {
    Sleep(slice);
    return;
  }
  // Wakes early when a message arrives; messages already seen by the last
  // peek do not wake it again, so a full queue does not turn this into a spin.
  MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
  peekMessages();
}

void peekMessages() {
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
}

void sleepUntil(int64_t deadlineMs, bool pumpMessages) {
  FineTimer timer;
  // Slices of a second keep the arithmetic in DWORD range for any deadline.
  while (nowMs() < deadlineMs) waitSlice(deadlineMs, 1000, pumpMessages);
}

}  // namespace tov::platform
