// What the run loop needs from its surroundings besides the driver: clocks,
// the waits, and whether a stop was asked for. The program's host is the
// platform's (signals or the console control handler, poll); tests give one
// that runs on the virtual bench's clock.
#ifndef K73LOG_LOG_HOST_H
#define K73LOG_LOG_HOST_H

#include <cstdint>

#include "tovdrv.h"

namespace k73log {

enum class Wake { Input, Deadline, Stop, PortGone };

class LogHost {
 public:
  virtual ~LogHost() = default;
  virtual int64_t monotonicMs() = 0;  // never goes back
  virtual int64_t utcMs() = 0;        // wall clock, ms since 1970
  virtual bool stopRequested() = 0;
  // Until a byte waits on the port, the deadline, a stop, or the port is gone.
  virtual Wake waitForInput(TovHandle port, int64_t deadlineMs) = 0;
  // Until the deadline or a stop.
  virtual Wake sleepUntil(int64_t deadlineMs) = 0;
};

}  // namespace k73log

#endif
