// Shared by the POSIX console files (terminal modes, keys, lines, boxes).
//
// Keys are decoded into the program's own key buffer, never through stdio,
// so that a multi-byte key sequence is never split between two readers.
// Keys without a character arrive as the console's two codes: 224 (or 0 for
// F1-F10) and then the scan code.
//
// End of input (a closed pipe, a hung-up terminal): every key reads as Esc
// and a line entry returns without touching its buffer. Menus then unwind
// to the exit instead of waiting forever or spinning on the same answer.
#ifndef TOV_PLATFORM_CONSOLE_POSIX_H
#define TOV_PLATFORM_CONSOLE_POSIX_H

#include <cstddef>
#include <deque>
#include <string>

namespace tov::con::posix {

constexpr int kEsc = 27;

// Output: every byte is written, retrying interrupted writes; console
// errors have no reaction.
void writeAll(int fd, const char* text, size_t length);
void writeOut(const char* text);

// Terminal modes: single keys (non-canonical, no echo, Enter gives 13) or
// typed lines (canonical with echo). No effect when input is not a terminal.
void applyKeyMode();
void applyLineMode();
bool keyModeApplied();
// Message boxes are drawn on the terminal (else written to standard error).
bool boxesInTerminal();

// Input: bytes read from the terminal and not yet decoded, and decoded keys.
extern std::string rawBytes;
extern std::deque<int> keys;
// Waits up to timeoutMs (-1: for ever) for bytes and appends what is there.
// False at end of input or when nothing came in time.
bool readMore(int timeoutMs);
bool inputEnded();
// Moves every complete key from rawBytes into keys.
void decodeKeys();
int takeKey();

}  // namespace tov::con::posix

#endif
