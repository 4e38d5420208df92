// The text console on a POSIX terminal: VT/ANSI output, single keys read in
// non-canonical mode without echo, typed lines in canonical mode with echo.
//
// Keys are decoded into the program's own key buffer, never through stdio,
// so that a multi-byte key sequence is never split between two readers.
// Keys without a character arrive as the console's two codes: 224 (or 0 for
// F1-F10) and then the scan code.
//
// End of input (a closed pipe, a hung-up terminal): every key reads as Esc
// and a line entry returns without touching its buffer. Menus then unwind
// to the exit instead of waiting forever or spinning on the same answer.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "console_platform.h"

namespace tov::con {

namespace {

constexpr int kEsc = 27;
constexpr int kEscWaitMs = 25;  // how long the rest of a key sequence may lag its ESC

struct termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;
volatile sig_atomic_t cursorHidden = 0;
bool keysAreRaw = false;  // non-canonical, no echo, currently applied
bool inputAtEnd = false;
bool boxesInTerminal = false;

std::string rawBytes;  // read from the terminal, not yet decoded
std::deque<int> keys;  // decoded key codes, oldest first

// --------------------------------------------------------------- output

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

// ---------------------------------------------------------- terminal modes

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

// ---------------------------------------------------------------- input

// Waits up to timeoutMs (-1: for ever) for bytes and appends what is there.
// False at end of input or when nothing came in time.
bool readMore(int timeoutMs) {
  if (inputAtEnd) return false;
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char buf[256];
  ssize_t n;
  do {
    n = ::read(STDIN_FILENO, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    rawBytes.append(buf, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && errno == EAGAIN) return false;
  inputAtEnd = true;  // 0 bytes, EIO after a hang-up, or any other failure
  return false;
}

void pushExtended(int first, int scan) {
  keys.push_back(first);
  keys.push_back(scan);
}

// Scan codes of the editing keys by their VT number (ESC [ n ~).
int scanOfTilde(int n) {
  switch (n) {
    case 1:
    case 7:
      return 71;  // Home
    case 2:
      return 82;  // Ins
    case 3:
      return 83;  // Del
    case 4:
    case 8:
      return 79;  // End
    case 5:
      return 73;  // PgUp
    case 6:
      return 81;  // PgDn
    default:
      return 0;
  }
}

// Scan codes of the keys that end ESC [ x or ESC O x.
int scanOfFinal(char c) {
  switch (c) {
    case 'A':
      return 72;  // Up
    case 'B':
      return 80;  // Down
    case 'C':
      return 77;  // Right
    case 'D':
      return 75;  // Left
    case 'H':
      return 71;  // Home
    case 'F':
      return 79;  // End
    default:
      return 0;
  }
}

void pushFunctionKey(int n) {
  // F1..F10 are 0 then 59..68; F11, F12 are 224 then 133, 134.
  if (n >= 1 && n <= 10) pushExtended(0, 58 + n);
  if (n == 11 || n == 12) pushExtended(224, 122 + n);
}

int functionKeyOfTilde(int n) {
  static const int numbers[][2] = {{11, 1}, {12, 2}, {13, 3}, {14, 4},  {15, 5},  {17, 6},
                                   {18, 7}, {19, 8}, {20, 9}, {21, 10}, {23, 11}, {24, 12}};
  for (const auto& pair : numbers)
    if (pair[0] == n) return pair[1];
  return 0;
}

// Decodes one escape sequence starting at rawBytes[0] == ESC. Returns the
// number of bytes it takes, or 0 when more bytes are needed to tell.
size_t decodeEscape() {
  if (rawBytes.size() < 2) return 0;
  const char kind = rawBytes[1];
  if (kind == 'O') {
    if (rawBytes.size() < 3) return 0;
    const char c = rawBytes[2];
    if (int scan = scanOfFinal(c))
      pushExtended(224, scan);
    else if (c >= 'P' && c <= 'S')
      pushFunctionKey(c - 'P' + 1);
    return 3;
  }
  if (kind != '[') {  // ESC followed by an ordinary key: Esc, then that key
    keys.push_back(kEsc);
    return 1;
  }
  // CSI: parameters and intermediates, then one final byte from 0x40 to 0x7E.
  size_t i = 2;
  while (i < rawBytes.size() && (rawBytes[i] < 0x40 || rawBytes[i] > 0x7E)) ++i;
  if (i >= rawBytes.size()) return 0;
  const char final = rawBytes[i];
  const int number = std::atoi(rawBytes.c_str() + 2);  // first parameter; modifiers ignored
  if (final == '~') {
    if (int scan = scanOfTilde(number))
      pushExtended(224, scan);
    else if (int f = functionKeyOfTilde(number))
      pushFunctionKey(f);
  } else if (int scan = scanOfFinal(final)) {
    pushExtended(224, scan);
  }
  return i + 1;  // unknown sequences are dropped whole
}

// Moves every complete key from rawBytes into keys. A lone ESC waits a short
// while for the rest of its sequence before it counts as the Esc key.
void decodeKeys() {
  while (!rawBytes.empty()) {
    const unsigned char b = static_cast<unsigned char>(rawBytes[0]);
    if (b != kEsc) {
      int code = b;
      if (b == '\n') code = 13;  // a line end from a pipe is Enter
      if (b == 127) code = 8;    // the terminal's Backspace
      keys.push_back(code);
      rawBytes.erase(0, 1);
      continue;
    }
    size_t used = decodeEscape();
    if (used == 0) {
      if (readMore(kEscWaitMs)) continue;
      keys.push_back(kEsc);  // nothing more came: the Esc key alone
      used = 1;
    }
    rawBytes.erase(0, used);
  }
}

int takeKey() {
  int key = keys.front();
  keys.pop_front();
  return key;
}

// Splits text into lines no wider than width, at blanks where possible.
std::string wrapped(const char* text, size_t width) {
  std::string out, line;
  auto flush = [&] {
    out += line + "\n";
    line.clear();
  };
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') {
      flush();
      continue;
    }
    line += *p;
    if (line.size() > width) {
      size_t cut = line.rfind(' ', width);
      std::string rest;
      if (cut == std::string::npos || cut == 0) {
        rest = line.substr(width);
        line.resize(width);
      } else {
        rest = line.substr(cut + 1);
        line.resize(cut);
      }
      flush();
      line = rest;
    }
  }
  if (!line.empty()) flush();
  return out;
}

}  // namespace

// ------------------------------------------------------------ interface

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
  boxesInTerminal = terminalSaved && isatty(STDOUT_FILENO);
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

int getKey(bool echo) {
  if (terminalSaved && !keysAreRaw) applyKeyMode();
  while (keys.empty()) {
    decodeKeys();
    if (!keys.empty()) break;
    if (!readMore(-1) && inputAtEnd) return kEsc;
  }
  const int key = takeKey();
  if (echo && key >= 32 && key < 127) {
    const char c = static_cast<char>(key);
    writeAll(STDOUT_FILENO, &c, 1);
  }
  return key;
}

bool keyWaiting() {
  if (!keys.empty()) return true;
  decodeKeys();
  while (keys.empty() && readMore(0)) decodeKeys();
  return !keys.empty() || inputAtEnd;
}

bool readLine(char* buf, int size) {
  if (size <= 0) return false;
  std::string line;
  bool ended = false;
  // Keys typed ahead of the prompt belong to the answer.
  decodeKeys();
  while (!keys.empty() && !ended) {
    const int key = takeKey();
    if (key == 13) {
      ended = true;
    } else if (key == 8) {
      if (!line.empty()) line.pop_back();
    } else if (key >= 32 && key < 256) {
      line += static_cast<char>(key);
    }
  }
  if (!line.empty()) writeAll(STDOUT_FILENO, line.data(), line.size());
  if (ended) {
    writeOut("\n");
  } else {
    applyLineMode();
    while (!ended) {
      if (!readMore(-1)) break;  // end of input
      size_t i = 0;
      for (; i < rawBytes.size(); ++i) {
        const char c = rawBytes[i];
        if (c == '\n' || c == '\r') {
          ended = true;
          if (c == '\r' && i + 1 < rawBytes.size() && rawBytes[i + 1] == '\n') ++i;
          ++i;
          break;
        }
        line += c;
      }
      rawBytes.erase(0, i);  // what follows the line end stays for the next key
    }
    applyKeyMode();
  }
  if (!ended && line.empty()) return false;  // end of input: the buffer keeps its text
  // At most size - 1 characters; the rest of an over-long line was drained
  // with it and is not left for the next prompt.
  const size_t room = static_cast<size_t>(size - 1);
  if (line.size() > room) line.resize(room);
  if (ended && line.size() < room) line += '\n';
  std::memcpy(buf, line.c_str(), line.size() + 1);
  return true;
}

void messageBox(const char* caption, const char* text) {
  if (!boxesInTerminal) {
    std::string plain = std::string(caption) + "\n" + text + "\n";
    writeAll(STDERR_FILENO, plain.data(), plain.size());
    return;
  }
  // Drawn over the screen from the top; the cursor is put back afterwards.
  std::string box =
      "\x1b"
      "7\x1b[2J\x1b[1;1H";
  std::string body = std::string(" ") + caption + "\n" + std::string(78, '-') + "\n";
  body += wrapped(text, 76);
  body += "\n                                   [  OK  ]\n";
  // Each line starts at the left edge and gets a margin of two blanks.
  std::string margin = "  ";
  for (size_t start = 0; start < body.size();) {
    size_t end = body.find('\n', start);
    box += margin + body.substr(start, end - start) + "\r\n";
    start = end + 1;
  }
  writeAll(STDOUT_FILENO, box.data(), box.size());
  for (;;) {
    const int key = getKey(false);
    if (key == 13 || key == ' ' || key == kEsc) break;
    if (key == 0 || key == 224) getKey(false);  // the second code of an extended key
  }
  writeOut(
      "\x1b[2J\x1b"
      "8");
}

}  // namespace tov::con
