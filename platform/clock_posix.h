// Shared by the POSIX clock and serial files: a deadline on the driver's
// millisecond clock as an absolute CLOCK_MONOTONIC time.
#ifndef TOV_PLATFORM_CLOCK_POSIX_H
#define TOV_PLATFORM_CLOCK_POSIX_H

#include <cstdint>
#include <ctime>

namespace tov::platform {

timespec monotonicAtMs(int64_t ms);

}  // namespace tov::platform

#endif
