// Screen and keyboard operations on top of the platform's console.
#include "screen.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "console_platform.h"

namespace tov {

namespace {

// The place last set by PrintAt or ClearScreen (the console's own cursor is
// not moved by a clear).
int cursorColumn = 0;
int cursorRow = 0;

void printFormatted(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof small) {
    con::write(small, static_cast<size_t>(needed));
    return;
  }
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  con::write(large.data(), static_cast<size_t>(needed));
}

}  // namespace

void StopIfInterrupted() {
  if (const int signal = con::interruptSignal()) throw Interrupted{signal};
}

void ClearScreen() {
  cursorColumn = 0;
  cursorRow = 0;
  con::clearCells();
}

void PrintAt(int column, int row, const char* format, ...) {
  cursorColumn = column;
  cursorRow = row;
  con::moveCursor(column, row);
  va_list args;
  va_start(args, format);
  printFormatted(format, args);
  va_end(args);
}

void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printFormatted(format, args);
  va_end(args);
}

void CursorOn() {
  con::showCursor(true);
}
void CursorOff() {
  con::showCursor(false);
}

// Each operation that waits for the operator first and last looks for a
// stop request: a key read after one is not a key the operator pressed.
int WaitKey() {
  StopIfInterrupted();
  const int key = con::getKey(false);
  StopIfInterrupted();
  return key;
}
int WaitKeyEcho() {
  StopIfInterrupted();
  const int key = con::getKey(true);
  StopIfInterrupted();
  return key;
}
bool KeyReady() {
  StopIfInterrupted();
  const bool ready = con::keyWaiting();
  StopIfInterrupted();
  return ready;
}
bool InputEnded() {
  return con::inputEnded();
}
con::Wake WaitKeyOrPort(TovHandle port, int64_t deadlineMs) {
  StopIfInterrupted();
  const con::Wake wake = con::waitForKeyOrPort(port, deadlineMs);
  StopIfInterrupted();
  return wake;
}

// No key is read and thrown away before the line: the operator's first typed
// character belongs to the answer.
void ReadAnswer(char* buffer) {
  StopIfInterrupted();
  con::readLine(buffer, kAnswerSize);
  StopIfInterrupted();
}

}  // namespace tov
