// The run loop's host in the program: the platform's clocks, waits and stop
// requests.
#ifndef K73LOG_PLATFORM_HOST_H
#define K73LOG_PLATFORM_HOST_H

#include "log_host.h"
#include "logger_platform.h"

namespace k73log {

class PlatformHost : public LogHost {
 public:
  int64_t monotonicMs() override { return tov::logger::monotonicMs(); }
  int64_t utcMs() override { return tov::logger::utcMs(); }
  bool stopRequested() override { return tov::logger::stopRequested(); }
  Wake waitForInput(TovHandle port, int64_t deadlineMs) override {
    return wake(tov::logger::waitForPortInput(port, deadlineMs));
  }
  Wake sleepUntil(int64_t deadlineMs) override { return wake(tov::logger::sleepUntil(deadlineMs)); }

 private:
  static Wake wake(tov::logger::PortWait w) {
    switch (w) {
      case tov::logger::PortWait::Input:
        return Wake::Input;
      case tov::logger::PortWait::Stop:
        return Wake::Stop;
      case tov::logger::PortWait::Gone:
        return Wake::PortGone;
      default:
        return Wake::Deadline;
    }
  }
};

}  // namespace k73log

#endif
