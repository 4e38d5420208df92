// The program's console on Windows: the console API for cells and cursor,
// the runtime's console input for keys, and stdio for printing and lines.
#include <conio.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "console_close_win32.h"
#include "console_platform.h"
#include "link_platform.h"
#include "port_input_win32.h"

namespace tov::con {
namespace {

constexpr DWORD kScreenCells = 80 * 25;
constexpr int kKeyPrefix = 224;

HANDLE consoleOut = INVALID_HANDLE_VALUE;
CONSOLE_CURSOR_INFO cursorAtStart{};
bool cursorSaved = false;
bool scanCodeNext = false;  // the last key returned was a prefix

volatile LONG interruptedBy = 0;
HANDLE interruptEvent = nullptr;  // set with interruptedBy; wakes every wait
bool inputIsConsole = false;      // a console, not a pipe or file: waited on

void interrupt(LONG signal) {
  InterlockedCompareExchange(&interruptedBy, signal, 0);
  if (interruptEvent) SetEvent(interruptEvent);
}

// Ctrl-C, Ctrl-Break and the console window's close: recorded for the
// program, which stops the converter itself.
BOOL WINAPI onConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    interrupt(SIGINT);
    return TRUE;
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    interrupt(SIGTERM);
    // The process ends when this returns: hold it while the program stops.
    platform::holdUntilStopped();
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
  if (!interruptEvent) interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  platform::prepareForConsoleClose();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  wakeConsoleInput(input);
  DWORD mode = 0;
  inputIsConsole = GetConsoleMode(input, &mode) != 0;
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
    waitForKeyOrPort(TOV_INVALID_HANDLE, nowMs() + 3600000);
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

// Keys Windows reports that the runtime's key functions pass over.
bool isModifierKey(WORD key) {
  return key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL ||
         key == VK_NUMLOCK || key == VK_SCROLL || key == VK_LWIN || key == VK_RWIN;
}

// The console input handle is signalled by any console event (focus, mouse,
// a key released), not only by keys: those are taken off the front of the
// queue so that the handle is signalled again only by what comes next.
void dropEventsThatAreNotKeys(HANDLE input) {
  INPUT_RECORD record;
  DWORD count = 0;
  while (PeekConsoleInputA(input, &record, 1, &count) && count == 1) {
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    const bool keyPress = record.EventType == KEY_EVENT && key.bKeyDown &&
                          (key.uChar.AsciiChar != 0 || !isModifierKey(key.wVirtualKeyCode));
    if (keyPress || !ReadConsoleInputA(input, &record, 1, &count)) return;
  }
}

// One blocking wait on the keyboard, the interrupt and the driver's input
// event of the port (which it sets when the converter's next byte arrives).
// Input that is not a console (a pipe, a file) is not waited on.
Wake waitForKeyOrPort(TovHandle port, int64_t deadlineMs) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE portInput = platform::portInputEventOf(port);
  for (;;) {
    if (keyWaiting()) return Wake::Key;
    const int64_t remaining = deadlineMs - nowMs();
    if (remaining <= 0) return Wake::Deadline;
    HANDLE handles[3];
    DWORD count = 0;
    if (portInput) handles[count++] = portInput;
    if (interruptEvent) handles[count++] = interruptEvent;
    const DWORD inputIndex = count;
    if (inputIsConsole) handles[count++] = input;
    const DWORD ms = remaining > 3600000 ? 3600000 : static_cast<DWORD>(remaining);
    if (count == 0) {
      Sleep(ms);
      continue;
    }
    const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, ms);
    if (portInput && woken == WAIT_OBJECT_0) return Wake::Port;
    if (inputIsConsole && woken == WAIT_OBJECT_0 + inputIndex) dropEventsThatAreNotKeys(input);
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
