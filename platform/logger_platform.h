// What the scan logger needs from the operating system besides the driver:
// a stop request from the user (signals on POSIX, the console control
// handler on Windows), waits that such a request ends early, both clocks,
// and whether standard error is a terminal.
#ifndef TOV_PLATFORM_LOGGER_PLATFORM_H
#define TOV_PLATFORM_LOGGER_PLATFORM_H

#include <cstdint>

#include "tovdrv.h"

namespace tov::logger {

// From now on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and closing
// the console on Windows) only request a stop.
void installStopHandlers();
bool stopRequested();
// The run has stopped the converter and written its last lines. (Windows
// ends the process as soon as the handler of a console close returns; the
// handler waits for this.)
void runEnded();

int64_t monotonicMs();  // since an arbitrary start; never goes back
int64_t utcMs();        // ms since 1970-01-01 UTC

enum class PortWait { Input, Deadline, Stop, Gone };

// Until a byte waits on the port, the deadline (monotonicMs), a stop
// request, or the port is gone (hung up, closed by its other end).
PortWait waitForPortInput(TovHandle port, int64_t deadlineMs);
// Until the deadline or a stop request: Deadline or Stop.
PortWait sleepUntil(int64_t deadlineMs);

bool stderrIsTerminal();

}  // namespace tov::logger

#endif
