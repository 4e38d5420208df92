// Typed answers of every prompt: reading a line that may be the end of input,
// and the values the prompts take out of it.
#ifndef TOV_CONSOLE_ENTRY_H
#define TOV_CONSOLE_ENTRY_H

#include "number_text.h"

namespace tov {

// One answer line into line (kAnswerSize bytes) through ReadAnswer. False at
// the end of input, when nothing was read; the line is then empty.
bool ReadEntry(char* line);

// Value of a control-code or sub-channel entry from its first two characters:
// 10 * (c0 - '0') + (c1 - '0') when c1 is at or above '0', else c0 - '0'.
// The line end is below '0', so "7\n" gives 7 and "12\n" gives 12; an empty
// line gives a negative value; "123" gives 12.
int TwoCharacterValue(const char* line);

}  // namespace tov

#endif
