// TCP on 127.0.0.1 for tests that start servers (ser2net, mosquitto).
#ifndef K73_TESTS_SUPPORT_LOOPBACK_H
#define K73_TESTS_SUPPORT_LOOPBACK_H

namespace k73test {

// A port nobody listens on now; the kernel picks it.
int freeLoopbackPort();
// Whether something accepts connections on the port.
bool loopbackAccepts(int port);

}  // namespace k73test

#endif
