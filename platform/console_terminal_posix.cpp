// The text console on a POSIX terminal: VT/ANSI output, the terminal's modes
// (single keys or typed lines), and their restoration at every exit.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void onFatalSignal(int sig) {
  restoreTerminal();
  // The handler was installed with SA_RESETHAND: the default action follows.
  raise(sig);
}

void installSignalHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onFatalSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
    sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output is an unchecked console error, not a death
}

}  // namespace

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

bool keyModeApplied() {
  return !terminalSaved || keysAreRaw;
}

bool boxesInTerminal() {
  return boxesOnTerminal;
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
  return out && in;
}

void restore() {
  restoreTerminal();
  keysAreRaw = false;
}

void clearCells() {
  writeOut("\x1b[2J");
}

void moveCursor(int column, int row) {
  char seq[32];
  std::snprintf(seq, sizeof seq, "\x1b[%d;%dH", row + 1, column + 1);
  writeOut(seq);
}

void showCursor(bool visible) {
  writeOut(visible ? "\x1b[?25h" : "\x1b[?25l");
  cursorHidden = visible ? 0 : 1;
}

void write(const char* text, size_t length) {
  writeAll(STDOUT_FILENO, text, length);
}

}  // namespace tov::con
