// Milliseconds since start and deadline-bounded sleeps on Windows.
//
// The clock is the performance counter, read relative to the moment the
// library was loaded: monotonic, and finer than GetTickCount's 16 ms steps.
// A sleep is one wait on a waitable timer set to the deadline. Where Windows
// offers high-resolution timers (Windows 10 1803 and later) it ends within
// about a millisecond of the deadline without raising the machine's timer
// rate; elsewhere it ends at the first scheduler tick after the deadline.
#include <windows.h>

#include "link_platform.h"
#include "wait_win32.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

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

// One timer per thread that sleeps, closed when the thread ends.
class ThreadTimer {
 public:
  ThreadTimer() {
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (!timer_) timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~ThreadTimer() {
    if (timer_) CloseHandle(timer_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  HANDLE handle() const { return timer_; }

 private:
  HANDLE timer_;
};

}  // namespace

int64_t nowMs() {
  const int64_t ticks = counterAt().QuadPart - startCount.QuadPart;
  const int64_t frequency = counterFrequency();
  // Split to keep ticks * 1000 from overflowing after long uptimes.
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

void peekMessages() {
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
}

void sleepUntil(int64_t deadlineMs, bool pumpMessages) {
  thread_local ThreadTimer timer;
  for (int64_t left = deadlineMs - nowMs(); left > 0; left = deadlineMs - nowMs()) {
    HANDLE handle = timer.handle();
    LARGE_INTEGER due;
    due.QuadPart = -left * 10000;  // relative, in 100 ns units
    if (!handle || !SetWaitableTimer(handle, &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(left > 60000 ? 60000 : static_cast<DWORD>(left));
      continue;
    }
    if (!pumpMessages) {
      WaitForSingleObject(handle, INFINITE);
      continue;
    }
    // Wakes early when a message arrives; messages already seen by the last
    // peek do not wake it again, so a full queue does not turn this into a spin.
    MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT);
    peekMessages();
  }
}

}  // namespace tov::platform
