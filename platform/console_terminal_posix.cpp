// The text console on a POSIX terminal: VT/ANSI output, the terminal's modes
// (single keys or typed lines) and their restoration at every exit, and the
// screen drawn anew from the cells the program wrote (after a suspend or a
// resize). A terminal smaller than the screen shows one line saying so, and
// the screen again once it is large enough.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cell_grid.h"
#include "console_platform.h"
#include "console_posix.h"

namespace tov::con {

namespace posix {

namespace {

struct termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;
volatile sig_atomic_t cursorHidden = 0;
bool keysAreRaw = false;  // non-canonical, no echo, currently applied
bool boxesOnTerminal = false;

CellGrid shown;             // what the screen holds, also while it cannot be seen
bool cursorVisible = true;  // as the program last asked
bool tooSmall = false;      // output waits for a terminal of at least 80 x 25

std::string cursorTo(int column, int row) {
  char seq[32];
  std::snprintf(seq, sizeof seq, "\x1b[%d;%dH", row + 1, column + 1);
  return seq;
}

}  // namespace

// Async-signal-safe: only tcsetattr and write.
void restoreTerminal() {
  if (terminalSaved) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  if (cursorHidden || terminalSaved) {  // the terminal is left with its cursor showing
    static const char show[] = "\x1b[?25h";
    ssize_t ignored = ::write(STDOUT_FILENO, show, sizeof show - 1);
    (void)ignored;
    cursorHidden = 0;
  }
}

void writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // console errors have no reaction
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void writeOut(const char* text) {
  writeAll(STDOUT_FILENO, text, std::strlen(text));
}

void applyKeyMode() {
  if (!terminalSaved) return;
  struct termios t = savedTerminal;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);  // Enter gives 13
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &t);
  keysAreRaw = true;
}

void applyLineMode() {
  if (!terminalSaved) return;
  struct termios t = savedTerminal;
  t.c_lflag |= ICANON | ECHO | ECHOE;
  t.c_iflag |= ICRNL;
  tcsetattr(STDIN_FILENO, TCSANOW, &t);
  keysAreRaw = false;
}

void reapplyMode() {
  if (keysAreRaw)
    applyKeyMode();
  else if (terminalSaved)
    applyLineMode();
}

bool keyModeApplied() {
  return !terminalSaved || keysAreRaw;
}

bool boxesInTerminal() {
  return boxesOnTerminal;
}

const CellGrid& shownCells() {
  return shown;
}

void noteEcho(const char* text, size_t length) {
  shown.write(text, length);
}

void redraw() {
  if (!boxesOnTerminal) return;  // output is not a terminal
  struct winsize size;
  int columns = CellGrid::kColumns, rows = CellGrid::kRows;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    columns = size.ws_col;
    rows = size.ws_row;
  }
  tooSmall = columns < CellGrid::kColumns || rows < CellGrid::kRows;
  std::string screen = "\x1b[?25l\x1b[2J\x1b[H";
  if (tooSmall) {
    char line[96];
    std::snprintf(line, sizeof line,
                  "tovcon needs a terminal of at least 80 x 25; this one is %d x %d", columns,
                  rows);
    screen += line;
  } else {
    for (int row = 0; row < CellGrid::kRows; ++row) screen += cursorTo(0, row) + shown.row(row);
    screen += cursorTo(shown.column(), shown.cursorRow());
    if (cursorVisible) screen += "\x1b[?25h";
  }
  writeAll(STDOUT_FILENO, screen.data(), screen.size());
}

}  // namespace posix

using namespace posix;

bool init(bool* outputOk, bool* inputOk) {
  const bool out = fcntl(STDOUT_FILENO, F_GETFD) != -1;
  const bool in = fcntl(STDIN_FILENO, F_GETFD) != -1;
  if (outputOk) *outputOk = out;
  if (inputOk) *inputOk = in;
  installSignalHandlers();
  if (in && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
    terminalSaved = 1;
    std::atexit(restore);
    applyKeyMode();
  }
  boxesOnTerminal = terminalSaved && isatty(STDOUT_FILENO);
  if (boxesOnTerminal) redraw();  // says so at once when the terminal is too small
  return out && in;
}

void restore() {
  restoreTerminal();
  keysAreRaw = false;
}

void clearCells() {
  shown.clear();
  if (!tooSmall) writeOut("\x1b[2J");
}

void moveCursor(int column, int row) {
  shown.moveCursor(column, row);
  if (!tooSmall) writeOut(cursorTo(column, row).c_str());
}

void showCursor(bool visible) {
  cursorVisible = visible;
  if (!tooSmall) writeOut(visible ? "\x1b[?25h" : "\x1b[?25l");
  cursorHidden = visible ? 0 : 1;
}

void write(const char* text, size_t length) {
  shown.write(text, length);
  if (!tooSmall) writeAll(STDOUT_FILENO, text, length);
}

// A terminal takes each write as it comes, at the cost of one system call.
void beginUpdate() {}
void endUpdate() {}

}  // namespace tov::con
