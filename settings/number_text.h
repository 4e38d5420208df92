// Numbers out of typed answers and settings-file lines, read the way a C
// library scan into a fixed-width slot would store them.
#ifndef TOV_SETTINGS_NUMBER_TEXT_H
#define TOV_SETTINGS_NUMBER_TEXT_H

#include <cstdint>

namespace tov {

// The decimal integer the text starts with (after blanks, with a sign), kept
// to its low 32 bits (4294967301 gives 5). False, and *value unchanged, when
// the text holds none.
bool ParseInteger(const char* text, int32_t* value);

// The low 16 bits of a value as a signed number (65541 gives 5).
int16_t Low16(int32_t value);

// The finite number the text starts with. False, and *value unchanged, when
// the text holds none or only an infinity or NaN.
bool ParseReal(const char* text, double* value);

}  // namespace tov

#endif
