#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "file_replace.h"

namespace tov::files {

bool replaceFile(const char* from, const char* to) {
  // On the disk before the name points at it: a crash after the rename must
  // not find the new name on an empty file.
  const int fd = open(from, O_RDONLY);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced && std::rename(from, to) == 0;
}

}  // namespace tov::files
