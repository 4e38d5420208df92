// Remote ports on Linux: a COMn link whose target is "rfc2217://HOST:PORT"
// names a port served over TCP (openRemotePort in port_posix.h).
#ifndef TOV_PLATFORM_REMOTE_POSIX_H
#define TOV_PLATFORM_REMOTE_POSIX_H

#include <cstdint>

#include "remote_port.h"

namespace tov::platform {

// The whole open (name look-up, connect, negotiation, the line settings'
// answers) gives up after this long; so does a rate change.
constexpr int64_t kRemoteOpenTimeoutMs = 3000;

// A server still closing our last connection to a port (ser2net, for a few
// milliseconds after a close) drops the next one at once, and so does one
// whose device is gone, for as long as it is: the open tries again after
// 10 ms, then twice as long each time, at most half a second.
constexpr int64_t busyRetryMs(int retriesSoFar) {
  return retriesSoFar >= 6 ? 500 : 10 << retriesSoFar;
}

}  // namespace tov::platform

#endif
