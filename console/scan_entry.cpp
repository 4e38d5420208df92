#include "scan_entry.h"

#include <cmath>
#include <cstdlib>

#include "screen.h"

namespace tov {

bool ReadEntry(char* line) {
  // A line that was read is never empty (it holds at least its line end),
  // so an empty buffer afterwards means there was nothing left to read.
  line[0] = '\0';
  ReadAnswer(line);
  return line[0] != '\0';
}

bool ParseLow16(const char* line, int16_t* value) {
  char* end = nullptr;
  const long long number = std::strtoll(line, &end, 10);
  if (end == line) return false;
  *value = static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned long long>(number)));
  return true;
}

bool ParseSeconds(const char* line, double* seconds) {
  char* end = nullptr;
  const double number = std::strtod(line, &end);
  if (end == line || !std::isfinite(number)) return false;
  *seconds = number;
  return true;
}

}  // namespace tov
