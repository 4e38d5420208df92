// Closing the console window, logging off or shutting down ends a console
// program as soon as its control handler returns, and Windows allows the
// handler about 5 s. The handler asks the program to stop and then holds on
// until the program has stopped the converter and closed its files, which
// every way out of the program signals (its normal end, exit(), a return
// from main), or until the grace runs out.
#ifndef TOV_PLATFORM_CONSOLE_CLOSE_WIN32_H
#define TOV_PLATFORM_CONSOLE_CLOSE_WIN32_H

namespace tov::platform {

// Creates the "stopped" event and has the process signal it on its way out.
// Call before installing the control handler.
void prepareForConsoleClose();
// In the control handler: waits until the program has stopped, or for the
// grace Windows allows a closing console, less a margin.
void holdUntilStopped();
// The program has stopped the converter and written its last lines.
void signalStopped();

}  // namespace tov::platform

#endif
