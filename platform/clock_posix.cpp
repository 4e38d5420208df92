// The driver's millisecond clock: CLOCK_MONOTONIC since the library was
// loaded. (C clock() counts CPU time here, which stands still while we wait.)
#include "clock_posix.h"

#include <cerrno>
#include <ctime>

#include "link_platform.h"

namespace tov::platform {

namespace {

timespec monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

const timespec& start() {
  static const timespec origin = monotonicNow();
  return origin;
}

// Fix the origin when the library is loaded, not at the first call.
const bool originTaken = (start(), true);

}  // namespace

timespec monotonicAtMs(int64_t ms) {
  timespec ts = start();
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (ms % 1000) * 1000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000;
  } else if (ts.tv_nsec < 0) {
    ts.tv_sec -= 1;
    ts.tv_nsec += 1000000000;
  }
  return ts;
}

int64_t nowMs() {
  (void)originTaken;
  const timespec now = monotonicNow();
  const timespec& origin = start();
  const int64_t ns = (static_cast<int64_t>(now.tv_sec) - origin.tv_sec) * 1000000000 +
                     (now.tv_nsec - origin.tv_nsec);
  return ns / 1000000;
}

void sleepUntil(int64_t deadlineMs, bool /*pumpMessages*/) {
  const timespec wake = monotonicAtMs(deadlineMs);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
  }
}

}  // namespace tov::platform
