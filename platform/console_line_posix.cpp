// Typed lines: the keys typed ahead of the prompt, then the rest of the line
// in the terminal's canonical mode with echo.
#include <unistd.h>

#include <cstring>

#include "console_platform.h"
#include "console_posix.h"

namespace tov::con {

using namespace posix;

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

}  // namespace tov::con
