// The driver's port objects in virtual time, for the soak: a COM port is a
// local port on the bench, or, once a server is put on it, a remote port,
// the driver's own RFC 2217 port (session, negotiation, rate change, purge,
// waits) over a connection to the scripted server. As on Linux, the kind is
// chosen once at open, and a sign-on's switch of rate is a rate change on
// the open connection, or a new connection when that fails.
#ifndef K73_TESTS_SOAK_VIRTUAL_PORTS_H
#define K73_TESTS_SOAK_VIRTUAL_PORTS_H

#include <cstdint>

#include "rfc2217_server.h"
#include "tovdrv.h"

namespace k73soak {

// COM<comNumber> is served by `server` from now on (null: a local port again).
void serveRemotely(int comNumber, Rfc2217Server* server);

// What the logger's wait on a port's handle does: returns when something
// can be read from it (for a remote port, bytes or the connection's end),
// or at the deadline. True when a remote port's wait ended readable: a
// socket's poll() says so even when all that came was Telnet traffic, or
// the end of the connection.
bool waitOnPort(k73::VirtualBench& bench, TovHandle port, int64_t deadlineMs);

}  // namespace k73soak

#endif
