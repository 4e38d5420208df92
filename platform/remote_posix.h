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

}  // namespace tov::platform

#endif
