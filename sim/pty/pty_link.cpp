#include "pty_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace k73 {
namespace {

uint32_t speedToBaud(speed_t s) {
  switch (s) {
    case B50:
      return 50;
    case B75:
      return 75;
    case B110:
      return 110;
    case B134:
      return 134;
    case B150:
      return 150;
    case B200:
      return 200;
    case B300:
      return 300;
    case B600:
      return 600;
    case B1200:
      return 1200;
    case B1800:
      return 1800;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

std::string sysError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyLink::~PtyLink() {
  if (fd_ >= 0) ::close(fd_);
}

bool PtyLink::open(std::string* error) {
  fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return *error = sysError("posix_openpt"), false;
  if (grantpt(fd_) != 0 || unlockpt(fd_) != 0) return *error = sysError("unlockpt"), false;
  char name[256];
  if (ptsname_r(fd_, name, sizeof name) != 0) return *error = sysError("ptsname_r"), false;
  slavePath_ = name;
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return *error = sysError("tcgetattr"), false;
  cfmakeraw(&tio);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B300);  // a converter at power-up listens at 300 baud
  cfsetospeed(&tio, B300);
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) return *error = sysError("tcsetattr"), false;
  return true;
}

uint32_t PtyLink::hostBaud() const {
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return 0;
  return speedToBaud(cfgetospeed(&tio));
}

bool PortName::create(const std::string& name, const std::string& target, std::string* error) {
  struct stat st {};
  if (lstat(name.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    *error = name + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  // Link under a temporary name and rename it over NAME, so that NAME never
  // names nothing while a stale link is being replaced.
  const std::string temp = "." + name + ".k73sim." + std::to_string(getpid());
  ::unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0) return *error = sysError("symlink"), false;
  if (rename(temp.c_str(), name.c_str()) != 0) {
    *error = sysError("rename");
    ::unlink(temp.c_str());
    return false;
  }
  name_ = name;
  target_ = target;
  return true;
}

void PortName::remove() {
  if (name_.empty()) return;
  char buf[512];
  const ssize_t n = readlink(name_.c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string(buf, size_t(n)) == target_) ::unlink(name_.c_str());
  name_.clear();
}

}  // namespace k73
