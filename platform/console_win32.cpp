// The program's console on Windows: the console API for cells and cursor,
// the runtime's console input for keys, and stdio for printing and lines.
#include <conio.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "console_platform.h"
#include "link_platform.h"
#include "wait_win32.h"

namespace tov::con {
namespace {

constexpr DWORD kScreenCells = 80 * 25;
constexpr int kKeyPrefix = 224;

HANDLE consoleOut = INVALID_HANDLE_VALUE;
CONSOLE_CURSOR_INFO cursorAtStart{};
bool cursorSaved = false;
bool scanCodeNext = false;  // the last key returned was a prefix

bool usable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool runningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine's console delivers no key to _kbhit until the program has made one
// read from the console; a read of zero bytes returns at once and is enough.
// Windows consoles need no such nudge, so it is only made under Wine.
void wakeConsoleInput(HANDLE input) {
  DWORD mode = 0;
  if (!runningUnderWine() || !GetConsoleMode(input, &mode)) return;
  char unused = 0;
  DWORD count = 0;
  ReadFile(input, &unused, 0, &count, nullptr);
}

}  // namespace

bool init(bool* outputOk, bool* inputOk) {
  consoleOut = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  *outputOk = usable(consoleOut);
  *inputOk = usable(input);
  if (!*outputOk || !*inputOk) return false;
  // Each print must reach the console before the next cursor move.
  setvbuf(stdout, nullptr, _IONBF, 0);
  cursorSaved = GetConsoleCursorInfo(consoleOut, &cursorAtStart) != 0;
  wakeConsoleInput(input);
  return true;
}

void restore() {
  fflush(stdout);
  if (cursorSaved) SetConsoleCursorInfo(consoleOut, &cursorAtStart);
}

void clearCells() {
  DWORD written = 0;
  FillConsoleOutputCharacterA(consoleOut, ' ', kScreenCells, COORD{0, 0}, &written);
}

void moveCursor(int column, int row) {
  fflush(stdout);
  SetConsoleCursorPosition(consoleOut, COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)});
}

void showCursor(bool visible) {
  CONSOLE_CURSOR_INFO info{};
  info.dwSize = 1;
  info.bVisible = visible ? TRUE : FALSE;
  SetConsoleCursorInfo(consoleOut, &info);
}

void write(const char* text, size_t length) {
  fwrite(text, 1, length, stdout);
  fflush(stdout);
}

int getKey(bool echo) {
  const int key = echo ? _getche() : _getch();
  if (scanCodeNext) {
    scanCodeNext = false;
    return key;
  }
  // The runtime gives 0 before function keys and 224 before the others; the
  // program knows one prefix.
  if (key == 0 || key == kKeyPrefix) {
    scanCodeNext = true;
    return kKeyPrefix;
  }
  return key;
}

bool keyWaiting() {
  return _kbhit() != 0;
}

int64_t nowMs() {
  return platform::nowMs();
}

// The console input handle is signalled by any console event (focus, mouse,
// a key released), not only by keys, and a serial port opened without
// overlapped reads cannot be waited on together with it: the wait sleeps on
// the input handle in slices of a few milliseconds and looks at the port's
// queue between them.
Wake waitForKeyOrPort(TovHandle port, int64_t deadlineMs) {
  constexpr int64_t kSliceMs = 10;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  platform::FineTimer timer;
  for (;;) {
    if (keyWaiting()) return Wake::Key;
    if (usable(port)) {
      COMSTAT status{};
      DWORD errors = 0;
      if (ClearCommError(port, &errors, &status) && status.cbInQue > 0) return Wake::Port;
    }
    const int64_t remaining = deadlineMs - nowMs();
    if (remaining <= 0) return Wake::Deadline;
    const DWORD slice = static_cast<DWORD>(remaining < kSliceMs ? remaining : kSliceMs);
    const int64_t sliceEnd = nowMs() + slice;
    // An event that is not a key keeps the handle signalled: sleep the slice out.
    if (WaitForSingleObject(input, slice) == WAIT_OBJECT_0 && !keyWaiting())
      platform::sleepUntil(sliceEnd, false);
  }
}

bool readLine(char* buf, int size) {
  char line[256];
  if (size <= 0) return false;
  if (size > static_cast<int>(sizeof line)) size = sizeof line;
  // Read into a scratch line so that end of input leaves buf as it was.
  if (fgets(line, size, stdin) == nullptr) return false;
  memcpy(buf, line, strlen(line) + 1);
  return true;
}

void messageBox(const char* caption, const char* text) {
  MessageBoxA(GetForegroundWindow(), text, caption, MB_OK);
}

}  // namespace tov::con
