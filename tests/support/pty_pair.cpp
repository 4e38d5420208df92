#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace k73test {

bool makeRaw(int fd, speed_t speed) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

namespace {

bool waitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0 && (p.revents & events);
  }
}

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) return;
  char name[128];
  // The new slave starts cooked with echo: make the master's side raw first.
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0 || !makeRaw(master_, B9600)) {
    close(master_);
    master_ = -1;
    return;
  }
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ >= 0 && !makeRaw(slave_, B9600)) {
    close(slave_);
    slave_ = -1;
  }
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  closeMaster();
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

bool waitReadable(int fd, int timeoutMs) {
  return waitFor(fd, POLLIN, timeoutMs);
}

bool waitWritable(int fd, int timeoutMs) {
  return waitFor(fd, POLLOUT, timeoutMs);
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= size_t(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!waitWritable(fd, 1000)) {
      return false;
    }
  }
  return true;
}

bool readExactly(int fd, uint8_t* data, size_t size, int timeoutMs) {
  while (size > 0) {
    const ssize_t n = read(fd, data, size);
    if (n > 0) {
      data += n;
      size -= size_t(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    } else if (!waitReadable(fd, timeoutMs)) {
      return false;
    }
  }
  return true;
}

}  // namespace k73test
