// Keys from the terminal: bytes read without stdio and decoded into the
// program's own key buffer, the escape sequences of the editing and function
// keys turned into the console's two codes.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

#include "console_platform.h"
#include "console_posix.h"
#include "link_platform.h"

namespace tov::con {

namespace posix {

std::string rawBytes;
std::deque<int> keys;

namespace {

constexpr int kEscWaitMs = 25;  // how long the rest of a key sequence may lag its ESC
bool inputAtEnd = false;

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

}  // namespace

bool inputEnded() {
  return inputAtEnd;
}

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

// A lone ESC waits a short while for the rest of its sequence before it
// counts as the Esc key.
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

}  // namespace posix

using namespace posix;

int getKey(bool echo) {
  if (!keyModeApplied()) applyKeyMode();
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

int64_t nowMs() {
  return platform::nowMs();
}

Wake waitForKeyOrPort(TovHandle port, int64_t deadlineMs) {
  bool watchPort = port != TOV_INVALID_HANDLE && port >= 0;
  for (;;) {
    if (keyWaiting()) return Wake::Key;
    const int64_t remaining = deadlineMs - nowMs();
    if (remaining <= 0) return Wake::Deadline;
    struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {static_cast<int>(port), POLLIN, 0}};
    const int timeoutMs = remaining > 60000 ? 60000 : static_cast<int>(remaining);
    const int ready = poll(p, watchPort ? 2 : 1, timeoutMs);
    if (ready < 0 && errno != EINTR) return Wake::Deadline;
    if (ready <= 0) continue;
    if (watchPort && (p[1].revents & POLLIN)) return Wake::Port;
    // A port whose other end is gone reports a hang-up at once and for ever:
    // it is silence, and the rest of this wait watches the keyboard alone.
    if (watchPort && p[1].revents != 0) watchPort = false;
  }
}

}  // namespace tov::con
