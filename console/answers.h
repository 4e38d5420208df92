// Parsing of typed answers.
#ifndef TOV_CONSOLE_ANSWERS_H
#define TOV_CONSOLE_ANSWERS_H

namespace tov {

// Value of a control-code or sub-channel entry from its first two characters:
// 10 * (c0 - '0') + (c1 - '0') when c1 is at or above '0', else c0 - '0'.
// The line end is below '0', so "7\n" gives 7 and "12\n" gives 12; an empty
// line gives a negative value; "123" gives 12.
int TwoCharacterValue(const char* line);

}  // namespace tov

#endif
