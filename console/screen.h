// Screen and keyboard operations every screen of the program is built from:
// an 80 x 25 console, positions (column, row) from 0 at the top left.
#ifndef TOV_CONSOLE_SCREEN_H
#define TOV_CONSOLE_SCREEN_H

#include <cstdint>

#include "console_platform.h"

namespace tov {

constexpr int kScreenColumns = 80;
constexpr int kScreenRows = 25;
constexpr int kAnswerSize = 80;  // ReadAnswer buffer: at most 79 characters

// Thrown by the key and line operations below once the operator or the system
// asked the program to stop (Ctrl-C, a termination request, a hang-up): the
// screens unwind, each putting right what it started, and the program exits
// with 128 + signal.
struct Interrupted {
  int signal;
};
// Throws Interrupted when a stop was asked for.
void StopIfInterrupted();

void ClearScreen();  // blanks every cell; the cursor does not move
void PrintAt(int column, int row, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void Print(const char* format, ...)  // at the cursor's current place
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The screen writes of this object's life reach the console as one update
// (see con::beginUpdate).
class ScreenUpdate {
 public:
  ScreenUpdate() { con::beginUpdate(); }
  ~ScreenUpdate() { con::endUpdate(); }
  ScreenUpdate(const ScreenUpdate&) = delete;
  ScreenUpdate& operator=(const ScreenUpdate&) = delete;
};
void CursorOn();
void CursorOff();
int WaitKey();      // one key, no echo
int WaitKeyEcho();  // one key, echoed at the cursor
bool KeyReady();    // a key is waiting; consumes nothing
bool InputEnded();  // every key now reads as Esc
// One typed line into buffer (kAnswerSize bytes). On end of input the
// buffer keeps its previous text.
void ReadAnswer(char* buffer);
// Sleeps until a key is waiting (true), the port has bytes to read, or the
// deadline on the platform's clock (see con::waitForKeyOrPort).
con::Wake WaitKeyOrPort(TovHandle port, int64_t deadlineMs);

}  // namespace tov

#endif
