#include "answers.h"

namespace tov {

int TwoCharacterValue(const char* line) {
  const unsigned char c0 = static_cast<unsigned char>(line[0]);
  if (c0 == 0) return -1;  // nothing typed at all: ask again
  const unsigned char c1 = static_cast<unsigned char>(line[1]);
  if (c1 >= '0') return 10 * (c0 - '0') + (c1 - '0');
  return c0 - '0';
}

}  // namespace tov
