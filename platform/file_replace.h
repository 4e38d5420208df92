// Putting a rewritten file in place of the old one in one step, so that a
// crash or a full disk leaves either the old file or the new, never a short
// one.
#ifndef TOV_PLATFORM_FILE_REPLACE_H
#define TOV_PLATFORM_FILE_REPLACE_H

namespace tov::files {

// Makes the complete file `from` (written and closed) durable, then renames
// it over `to`, replacing any file of that name. False, with both files as
// they were, when either step fails.
bool replaceFile(const char* from, const char* to);

}  // namespace tov::files

#endif
