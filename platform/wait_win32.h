// Helpers shared by the Win32 clock and serial files: the 1 ms system timer
// and one bounded wait that keeps a windowed caller's message queue alive.
#ifndef TOV_PLATFORM_WAIT_WIN32_H
#define TOV_PLATFORM_WAIT_WIN32_H

#include <cstdint>

namespace tov::platform {

// Holds the system timer at 1 ms while a wait is in progress, so a Sleep of
// 1 ms lasts about 1 ms instead of a 15.6 ms scheduler tick.
class FineTimer {
 public:
  FineTimer();
  ~FineTimer();
  FineTimer(const FineTimer&) = delete;
  FineTimer& operator=(const FineTimer&) = delete;
};

// Sleeps until the deadline, or for at most maxSliceMs, whichever is first.
// With pumpMessages, returns early when a window message arrives and then
// peeks the queue without removing anything.
void waitSlice(int64_t deadlineMs, int64_t maxSliceMs, bool pumpMessages);

// Looks at the calling thread's message queue without removing anything.
void peekMessages();

}  // namespace tov::platform

#endif
