// The program's seam to the text console: cells, cursor, keys, lines, boxes.
//
// Implemented by the real terminal (VT/ANSI on POSIX, the Win32 console on
// Windows) and, in tests, by an 80 x 25 screen model.
#ifndef TOV_PLATFORM_CONSOLE_PLATFORM_H
#define TOV_PLATFORM_CONSOLE_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "tovdrv.h"

namespace tov::con {

// Prepares the console for single keys; false when there is no usable
// output (out == false) or input. Settings are restored at every exit.
bool init(bool* outputOk, bool* inputOk);
void restore();

// Ctrl-C, a termination request or a hang-up: the signal's number once one
// has arrived, else 0. From then on every wait below returns at once (a key
// read gives Esc, a line read ends as at the end of input), so that the
// program can stop the converter and close its files in its own time.
int interruptSignal();

void clearCells();  // all 80 x 25 cells blank; the cursor stays put
void moveCursor(int column, int row);
void showCursor(bool visible);
void write(const char* text, size_t length);  // at the cursor; wraps and scrolls
// The writes from beginUpdate to endUpdate (nested: to the outermost) may
// reach the screen together at its end, or before a wait for the operator,
// as one change of the console rather than one per write.
void beginUpdate();
void endUpdate();

// One key press, blocking. Keys without a character arrive as two codes:
// 224 first, then the Windows scan code (down arrow: 224, 80).
int getKey(bool echo);
bool keyWaiting();  // a key is waiting; consumes nothing
// The input has ended (a closed pipe, a hung-up terminal): every key now
// reads as Esc.
bool inputEnded();

// Milliseconds on the platform's monotonic clock, the driver's own.
int64_t nowMs();

enum class Wake { Key, Port, Deadline };
// One wait on the keyboard and a serial port together: returns when a key
// is waiting (Key), the port has bytes to read (Port), or nowMs() reaches
// deadlineMs (Deadline). With TOV_INVALID_HANDLE, or a port that cannot be
// waited on, only the keyboard is watched.
Wake waitForKeyOrPort(TovHandle port, int64_t deadlineMs);

// One typed line with echo into buf (at most size - 1 characters, the line
// end kept when it fits). On end of input the buffer is left unchanged and
// false is returned.
bool readLine(char* buf, int size);

// A modal message with a caption and an OK button; returns when closed.
// The error boxes have no owner window.
void messageBox(const char* caption, const char* text);
// The same for the start-up notice, which belongs to the window in front
// (the console the program was started from).
void noticeBox(const char* caption, const char* text);

}  // namespace tov::con

#endif
