// Remote ports on Linux: a COMn link whose target is "rfc2217://HOST:PORT"
// names a port served over TCP. The serial layer asks here first for every
// handle; a handle that is not a remote port's socket is a local port.
#ifndef TOV_PLATFORM_REMOTE_POSIX_H
#define TOV_PLATFORM_REMOTE_POSIX_H

#include <cstdint>
#include <string>

#include "remote_port.h"
#include "tovdrv.h"

namespace tov::platform {

// The whole open (name look-up, connect, negotiation, the baud rate's answer)
// gives up after this long.
constexpr int64_t kRemoteOpenTimeoutMs = 3000;

// True when the link at `path` points at a remote port (its target begins
// with "rfc2217:"); *target is then the link's target.
bool remoteTargetAt(const char* path, std::string* target);
// The socket's descriptor as the port's handle, or TOV_INVALID_HANDLE with
// *why set.
TovHandle remoteOpen(const std::string& target, uint32_t baud, const char** why);
RemotePort* remotePortOf(TovHandle handle);  // null for a local port
void remoteClose(TovHandle handle);
// Drops the entry of a descriptor that was closed behind the driver's back
// (a client's SetComHandle) without closing it again.
void forgetRemote(TovHandle handle);

}  // namespace tov::platform

#endif
