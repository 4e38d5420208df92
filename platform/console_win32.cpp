// The program's console on Windows: the console API for cells and cursor,
// the runtime's console input for keys, and stdio for printing and lines.
//
// Every console call is a round trip to the console's host (under Wine, two
// processes and its server), so the screen is written with as few as give
// the same cells: plain text that stays on its row goes straight into the
// cells (characters and colour in one call, as printing would leave them),
// the hidden cursor is moved only when something needs it where it is, and
// the writes of one update reach the console in one call.
#include <conio.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "console_close_win32.h"
#include "console_platform.h"
#include "link_platform.h"
#include "port_input_win32.h"

namespace tov::con {
namespace {

constexpr DWORD kScreenCells = 80 * 25;
constexpr int kKeyPrefix = 224;

HANDLE consoleOut = INVALID_HANDLE_VALUE;
HANDLE consoleIn = INVALID_HANDLE_VALUE;
CONSOLE_CURSOR_INFO cursorAtStart{};
bool cursorSaved = false;
bool scanCodeNext = false;  // the last key returned was a prefix

volatile LONG interruptedBy = 0;
HANDLE interruptEvent = nullptr;  // set with interruptedBy; wakes every wait
bool inputIsConsole = false;      // a console, not a pipe or file: waited on

// The screen's output. `cursor` is where the program's cursor is; the
// console's own is moved there only when it is visible or used.
WORD textColour = 0;         // what printed text gets
bool cellsWritable = false;  // a console at least 80 columns wide
bool cursorVisible = true;
COORD cursor{0, 0};
bool cursorKnown = false;  // false after the console moved it (printing, echo)
COORD consoleCursor{0, 0};
bool consoleCursorKnown = false;

// The runs of text of an update not yet written.
struct Run {
  COORD at;
  std::string text;
};
int updateDepth = 0;
std::vector<Run> pendingRuns;

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

// Printing would leave this text on the cursor's row, the cursor after it:
// printable characters only, ending before the last column (where printing
// wraps), on the program's 80 x 25 cells.
bool staysOnRow(size_t length, const char* text) {
  if (!cellsWritable || !cursorKnown || cursor.X < 0 || cursor.Y < 0 || cursor.Y >= 25 ||
      static_cast<size_t>(cursor.X) + length >= 80) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

// What the program's 80 x 25 cells hold, read from the console before the
// first update that needs it and kept while only this file writes them
// (printing and echo make it unknown again).
CHAR_INFO cells[25][80];
bool cellsKnown = false;

void forgetCells() {
  cellsKnown = false;
}

// The pending runs, in one call: a single run as it is, several as the
// rectangle around them, whose other cells are written as they are. Should
// the console refuse, they are printed one by one. The wide calls: the
// narrow ones ask the console for its code page each time, and the text is
// ASCII.
void writeRuns() {
  if (pendingRuns.empty()) return;
  if (pendingRuns.size() > 1 && !cellsKnown) {
    SMALL_RECT all{0, 0, 79, 24};
    cellsKnown = ReadConsoleOutputW(consoleOut, &cells[0][0], COORD{80, 25}, COORD{0, 0}, &all) &&
                 all.Right == 79 && all.Bottom == 24;
  }
  SMALL_RECT box{pendingRuns[0].at.X, pendingRuns[0].at.Y, pendingRuns[0].at.X,
                 pendingRuns[0].at.Y};
  for (const Run& run : pendingRuns) {
    const SHORT right = static_cast<SHORT>(run.at.X + run.text.size() - 1);
    if (run.at.X < box.Left) box.Left = run.at.X;
    if (right > box.Right) box.Right = right;
    if (run.at.Y < box.Top) box.Top = run.at.Y;
    if (run.at.Y > box.Bottom) box.Bottom = run.at.Y;
    for (size_t i = 0; i < run.text.size(); ++i) {
      CHAR_INFO& cell = cells[run.at.Y][static_cast<size_t>(run.at.X) + i];
      cell.Char.UnicodeChar = static_cast<WCHAR>(run.text[i]);
      cell.Attributes = textColour;
    }
  }
  bool written = false;
  if (pendingRuns.size() == 1 || cellsKnown) {
    SMALL_RECT region = box;
    written = WriteConsoleOutputW(consoleOut, &cells[0][0], COORD{80, 25}, COORD{box.Left, box.Top},
                                  &region) != 0;
  }
  if (!written) {
    for (const Run& run : pendingRuns) {
      SetConsoleCursorPosition(consoleOut, run.at);
      fwrite(run.text.data(), 1, run.text.size(), stdout);
      fflush(stdout);
    }
    consoleCursorKnown = false;
    forgetCells();
  }
  pendingRuns.clear();
}

// The console's cursor where the program's is, after the pending text.
void placeCursor() {
  writeRuns();
  if (!cursorKnown) return;  // the console's is the program's
  if (consoleCursorKnown && consoleCursor.X == cursor.X && consoleCursor.Y == cursor.Y) return;
  SetConsoleCursorPosition(consoleOut, cursor);
  consoleCursor = cursor;
  consoleCursorKnown = true;
}

// Printing or echo moved the console's cursor: it is the program's again.
void cursorMovedByConsole() {
  cursorKnown = false;
  consoleCursorKnown = false;
  forgetCells();
}

// Before the operator can look or act: everything written is on the screen,
// and a visible cursor in its place.
void showOutput() {
  writeRuns();
  if (cursorVisible) placeCursor();
}

// Whether the console's queue holds a key. Its input handle is signalled
// while the queue holds anything; while it is not, the runtime's look into
// the queue (a round trip to the console) is spared.
bool keyInQueue() {
  if (inputIsConsole && WaitForSingleObject(consoleIn, 0) == WAIT_TIMEOUT) return false;
  return _kbhit() != 0;
}

}  // namespace

bool init(bool* outputOk, bool* inputOk) {
  consoleOut = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  consoleIn = input;
  *outputOk = usable(consoleOut);
  *inputOk = usable(input);
  if (!*outputOk || !*inputOk) return false;
  // Each print must reach the console before the next cursor move.
  setvbuf(stdout, nullptr, _IONBF, 0);
  cursorSaved = GetConsoleCursorInfo(consoleOut, &cursorAtStart) != 0;
  cursorVisible = !cursorSaved || cursorAtStart.bVisible;
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  cellsWritable = GetConsoleScreenBufferInfo(consoleOut, &screen) && screen.dwSize.X >= 80 &&
                  screen.dwSize.Y >= 25;
  textColour = screen.wAttributes;
  if (!interruptEvent) interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  platform::prepareForConsoleClose();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  wakeConsoleInput(input);
  DWORD mode = 0;
  inputIsConsole = GetConsoleMode(input, &mode) != 0;
  return true;
}

void restore() {
  placeCursor();
  fflush(stdout);
  if (cursorSaved) SetConsoleCursorInfo(consoleOut, &cursorAtStart);
}

int interruptSignal() {
  return static_cast<int>(interruptedBy);
}

void clearCells() {
  writeRuns();
  DWORD written = 0;
  FillConsoleOutputCharacterA(consoleOut, ' ', kScreenCells, COORD{0, 0}, &written);
  // The colours stay, as in the console.
  for (auto& row : cells) {
    for (CHAR_INFO& cell : row) cell.Char.UnicodeChar = L' ';
  }
}

void moveCursor(int column, int row) {
  cursor = COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)};
  cursorKnown = true;
  if (cursorVisible && updateDepth == 0) placeCursor();
}

void showCursor(bool visible) {
  if (visible) placeCursor();
  cursorVisible = visible;
  CONSOLE_CURSOR_INFO info{};
  info.dwSize = 1;
  info.bVisible = visible ? TRUE : FALSE;
  SetConsoleCursorInfo(consoleOut, &info);
}

void write(const char* text, size_t length) {
  if (length == 0) return;
  if ((updateDepth > 0 || !cursorVisible) && staysOnRow(length, text)) {
    pendingRuns.push_back(Run{cursor, std::string(text, length)});
    cursor.X = static_cast<SHORT>(cursor.X + length);
    if (updateDepth == 0) writeRuns();
    return;
  }
  placeCursor();
  fwrite(text, 1, length, stdout);
  fflush(stdout);
  cursorMovedByConsole();
}

void beginUpdate() {
  ++updateDepth;
}

void endUpdate() {
  if (updateDepth > 0 && --updateDepth == 0) showOutput();
}

int getKey(bool echo) {
  showOutput();
  // The wait watches for an interrupt too; the key itself is read by the
  // runtime. The second code of a key is already there.
  while (!scanCodeNext && !keyInQueue()) {
    if (interruptedBy != 0) return 27;
    waitForKeyOrPort(TOV_INVALID_HANDLE, nowMs() + 3600000);
  }
  if (echo) placeCursor();
  const int key = echo ? _getche() : _getch();
  if (echo) cursorMovedByConsole();
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
  return interruptedBy != 0 || scanCodeNext || keyInQueue();
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
  showOutput();
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
  placeCursor();
  // The whole line is read, however long: what does not fit buf is dropped
  // with it rather than left for the next prompt.
  std::string line;
  for (int c = fgetc(stdin); c != EOF; c = fgetc(stdin)) {
    line += static_cast<char>(c);
    if (c == '\n') break;
  }
  cursorMovedByConsole();          // the echo
  if (line.empty()) return false;  // end of input: buf is left as it was
  if (line.size() > static_cast<size_t>(size - 1)) line.resize(static_cast<size_t>(size - 1));
  memcpy(buf, line.c_str(), line.size() + 1);
  return true;
}

void messageBox(const char* caption, const char* text) {
  showOutput();
  MessageBoxA(nullptr, text, caption, MB_OK);
}

void noticeBox(const char* caption, const char* text) {
  showOutput();
  MessageBoxA(GetForegroundWindow(), text, caption, MB_OK);
}

}  // namespace tov::con
