// Helpers shared by the Win32 clock and serial files.
#ifndef TOV_PLATFORM_WAIT_WIN32_H
#define TOV_PLATFORM_WAIT_WIN32_H

namespace tov::platform {

// Looks at the calling thread's message queue without removing anything, as
// a windowed caller's queue must stay alive while the driver waits.
void peekMessages();

}  // namespace tov::platform

#endif
