// The program's console on Windows: the console API for cells and cursor,
// the runtime's console input for keys, and stdio for printing and lines.
#include <conio.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

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

volatile LONG interruptedBy = 0;

// Ctrl-C, Ctrl-Break and the console window's close: recorded for the
// program, which stops the converter itself (Windows gives a closing
// console a few seconds for that).
BOOL WINAPI onConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    InterlockedCompareExchange(&interruptedBy, SIGINT, 0);
    return TRUE;
  }
  if (event == CTRL_CLOSE_EVENT) {
    InterlockedCompareExchange(&interruptedBy, SIGTERM, 0);
    // The process ends when this returns: hold it while the program stops
    // the converter (its exit ends this thread too).
    Sleep(10000);
    return TRUE;
  }
  return FALSE;
}

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
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  wakeConsoleInput(input);
  return true;
}

void restore() {
  fflush(stdout);
  if (cursorSaved) SetConsoleCursorInfo(consoleOut, &cursorAtStart);
}

int interruptSignal() {
  return static_cast<int>(interruptedBy);
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
  // The wait watches for an interrupt too; the key itself is read by the
  // runtime. The second code of a key is already there.
  while (!scanCodeNext && !_kbhit()) {
    if (interruptedBy != 0) return 27;
    waitForKeyOrPort(TOV_INVALID_HANDLE, nowMs() + 1000);
  }
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
  return _kbhit() != 0 || interruptedBy != 0;
}

bool inputEnded() {
  return false;  // a console's input does not end
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
    // An event that is not a key keeps the handle signalled, and an input
    // that is not a console cannot be waited on: then sleep the slice out.
    if (WaitForSingleObject(input, slice) != WAIT_TIMEOUT && !keyWaiting())
      platform::sleepUntil(sliceEnd, false);
  }
}

bool readLine(char* buf, int size) {
  if (size <= 0) return false;
  // The whole line is read, however long: what does not fit buf is dropped
  // with it rather than left for the next prompt.
  std::string line;
  for (int c = fgetc(stdin); c != EOF; c = fgetc(stdin)) {
    line += static_cast<char>(c);
    if (c == '\n') break;
  }
  if (line.empty()) return false;  // end of input: buf is left as it was
  if (line.size() > static_cast<size_t>(size - 1)) line.resize(static_cast<size_t>(size - 1));
  memcpy(buf, line.c_str(), line.size() + 1);
  return true;
}

void messageBox(const char* caption, const char* text) {
  MessageBoxA(nullptr, text, caption, MB_OK);
}

void noticeBox(const char* caption, const char* text) {
  MessageBoxA(GetForegroundWindow(), text, caption, MB_OK);
}

}  // namespace tov::con
