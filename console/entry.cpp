#include "entry.h"

#include "screen.h"

namespace tov {

bool ReadEntry(char* line) {
  // A line that was read is never empty (it holds at least its line end),
  // so an empty buffer afterwards means there was nothing left to read.
  line[0] = '\0';
  ReadAnswer(line);
  return line[0] != '\0';
}

int TwoCharacterValue(const char* line) {
  const unsigned char c0 = static_cast<unsigned char>(line[0]);
  if (c0 == 0) return -1;  // nothing typed at all: ask again
  const unsigned char c1 = static_cast<unsigned char>(line[1]);
  if (c1 >= '0') return 10 * (c0 - '0') + (c1 - '0');
  return c0 - '0';
}

}  // namespace tov
