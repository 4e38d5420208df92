// Typed entries of the scanning screens: reading a line that may be the end
// of input, and parsing numbers out of it.
#ifndef TOV_CONSOLE_SCAN_ENTRY_H
#define TOV_CONSOLE_SCAN_ENTRY_H

#include <cstdint>

namespace tov {

// One answer line into line (kAnswerSize bytes) through ReadAnswer. False at
// the end of input, when nothing was read; the line is then empty.
bool ReadEntry(char* line);

// The first integer on the line, kept to its low 16 bits as a signed number
// (65541 gives 5). False, and *value unchanged, when the line holds none.
bool ParseLow16(const char* line, int16_t* value);

// The first number on the line, in seconds. False, and *seconds unchanged,
// when the line holds none or only an infinity or NaN.
bool ParseSeconds(const char* line, double* seconds);

}  // namespace tov

#endif
