// The run loop's host in a service: every wait is cut at the watchdog's
// ping time, so the service manager hears from the main loop at half its
// period also while it waits for a converter or a scan.
#ifndef K73LOG_SERVICE_HOST_H
#define K73LOG_SERVICE_HOST_H

#include <algorithm>
#include <functional>

#include "log_host.h"

namespace k73log {

class ServiceHost : public LogHost {
 public:
  // pingEveryMs 0: no watchdog, the waits pass straight through.
  ServiceHost(LogHost& inner, int64_t pingEveryMs, std::function<void()> ping)
      : inner_(inner), everyMs_(pingEveryMs), ping_(std::move(ping)) {}

  int64_t monotonicMs() override { return inner_.monotonicMs(); }
  int64_t utcMs() override { return inner_.utcMs(); }
  bool stopRequested() override { return inner_.stopRequested(); }

  Wake waitForInput(TovHandle port, int64_t deadlineMs) override {
    return inSlices(deadlineMs, [&](int64_t until) { return inner_.waitForInput(port, until); });
  }
  Wake sleepUntil(int64_t deadlineMs) override {
    return inSlices(deadlineMs, [&](int64_t until) { return inner_.sleepUntil(until); });
  }

  // Pings when the time has come; for loops of the program's own.
  void pingIfDue() {
    if (everyMs_ <= 0) return;
    const int64_t now = inner_.monotonicMs();
    if (now < nextPingMs_) return;
    ping_();
    nextPingMs_ = now + everyMs_;
  }

 private:
  template <typename Wait>
  Wake inSlices(int64_t deadlineMs, Wait wait) {
    for (;;) {
      pingIfDue();
      if (everyMs_ <= 0) return wait(deadlineMs);
      const Wake woke = wait(std::min(deadlineMs, nextPingMs_));
      if (woke != Wake::Deadline || inner_.monotonicMs() >= deadlineMs) return woke;
    }
  }

  LogHost& inner_;
  int64_t everyMs_;
  std::function<void()> ping_;
  int64_t nextPingMs_ = 0;
};

}  // namespace k73log

#endif
