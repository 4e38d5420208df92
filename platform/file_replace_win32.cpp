#include <windows.h>

#include "file_replace.h"

namespace tov::files {

bool replaceFile(const char* from, const char* to) {
  // A plain rename refuses an existing target on Windows.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace tov::files
