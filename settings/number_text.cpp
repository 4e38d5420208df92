#include "number_text.h"

#include <cmath>
#include <cstdlib>

namespace tov {

bool ParseInteger(const char* text, int32_t* value) {
  char* end = nullptr;
  const long long number = std::strtoll(text, &end, 10);
  if (end == text) return false;
  *value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(number)));
  return true;
}

int16_t Low16(int32_t value) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu));
}

bool ParseReal(const char* text, double* value) {
  char* end = nullptr;
  const double number = std::strtod(text, &end);
  if (end == text || !std::isfinite(number)) return false;
  *value = number;
  return true;
}

}  // namespace tov
