// Local serial ports on Linux. Port COMn is the path "COMn" in the current
// directory: a link to a real device or to the simulator's pseudo-terminal.
// Nothing here ever falls back to /dev/ttyS*, which may be the system console.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock_posix.h"
#include "port_posix.h"

namespace tov::platform {

namespace {

bool speedFor(uint32_t baud, speed_t* speed) {
  static const struct {
    uint32_t baud;
    speed_t speed;
  } kSpeeds[] = {{50, B50},       {75, B75},         {110, B110},      {150, B150},
                 {300, B300},     {600, B600},       {1200, B1200},    {2400, B2400},
                 {4800, B4800},   {9600, B9600},     {19200, B19200},  {38400, B38400},
                 {57600, B57600}, {115200, B115200}, {230400, B230400}};
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

// Time left until the deadline, for ppoll; zero once it has come.
timespec remainingUntil(int64_t deadlineMs) {
  const timespec wake = monotonicAtMs(deadlineMs);
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ns =
      (static_cast<int64_t>(wake.tv_sec) - now.tv_sec) * 1000000000 + (wake.tv_nsec - now.tv_nsec);
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void driveModemLines(int fd) {
  // DTR held on, RTS held off. Pseudo-terminals have no modem lines.
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &dtr);
  ioctl(fd, TIOCMBIC, &rts);
}

// Errors after which the device will not work again: unplugged, hung up.
bool meansGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

class LocalPort final : public Port {
 public:
  explicit LocalPort(int fd) : Port(fd) {}

  bool readByte(uint8_t* byte) override {
    if (next_ == end_) {
      // One read() fetches whatever has arrived, so a burst costs one system
      // call and one wake-up instead of one per byte.
      ssize_t n;
      do {
        n = read(fd(), ahead_, sizeof ahead_);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && meansGone(errno)) gone_ = true;
      if (n <= 0) return false;
      next_ = 0;
      end_ = static_cast<size_t>(n);
    }
    *byte = ahead_[next_++];
    return true;
  }

  bool writeByte(uint8_t byte) override {
    if (gone_) return false;
    ssize_t n;
    do {
      n = write(fd(), &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && meansGone(errno)) gone_ = true;
    return n == 1;
  }

  void waitForInput(int64_t deadlineMs) override {
    if (next_ != end_) return;
    waitFor(POLLIN, deadlineMs);
  }
  void waitForOutput(int64_t deadlineMs) override { waitFor(POLLOUT, deadlineMs); }

  void purgeInput() override {
    // Only what came in. A byte that write() took has been written, as a
    // synchronous write on a COM port has: flushing the output here would drop
    // CloseDevice's stop command (on a pseudo-terminal too) before it is sent.
    next_ = end_ = 0;
    tcflush(fd(), TCIFLUSH);
  }

  bool status(TovComStat* status) override {
    int in = 0;
    int out = 0;
    if (ioctl(fd(), FIONREAD, &in) != 0) return false;
    if (ioctl(fd(), TIOCOUTQ, &out) != 0) out = 0;
    status->flags = 0;
    status->cbInQue = static_cast<uint32_t>(in) + static_cast<uint32_t>(end_ - next_);
    status->cbOutQue = static_cast<uint32_t>(out);
    return true;
  }

  bool gone() const override { return gone_; }

  void closeDescriptor() override {
    // A pseudo-terminal keeps its exclusive mark after the close while the far
    // end stays open; left set, it refuses every later open but root's.
    ioctl(fd(), TIOCNXCL);
    close(fd());
  }

 private:
  // Waits for `events` until the deadline. A port that is gone (hung up, in
  // error, closed, or at end of file) is silence: sleep out the deadline.
  void waitFor(short events, int64_t deadlineMs) {
    while (!gone_ && nowMs() < deadlineMs) {
      pollfd pfd{fd(), events, 0};
      const timespec left = remainingUntil(deadlineMs);
      const int rc = ppoll(&pfd, 1, &left, nullptr);
      if (rc < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (rc == 0) continue;  // timed out: the loop condition ends it
      if (pfd.revents & (POLLERR | POLLNVAL)) gone_ = true;
      if (events == POLLIN) {
        int waiting = 0;
        if (ioctl(fd(), FIONREAD, &waiting) == 0 && waiting > 0) return;
        if (pfd.revents & POLLHUP) gone_ = true;
        break;  // readable with nothing to read: end of file
      }
      if (pfd.revents & POLLHUP) gone_ = true;
      if (!gone_) return;
    }
    if (nowMs() < deadlineMs) sleepUntil(deadlineMs, false);
  }

  // Bytes already taken from the kernel but not yet given to the driver.
  uint8_t ahead_[512];
  size_t next_ = 0;
  size_t end_ = 0;
  bool gone_ = false;
};

}  // namespace

Port* openLocalPort(const char* path, uint32_t baud, std::string* why) {
  speed_t speed;
  if (!speedFor(baud, &speed)) {
    *why = "no such baud rate";
    return nullptr;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return nullptr;
  }

  termios tio{};
  bool ok = isatty(fd) && tcgetattr(fd, &tio) == 0;
  // One user of a port at a time, as with a COM port. TIOCEXCL does not stop
  // root; the advisory lock does. Mark the port only once the lock is ours,
  // so a refused open never leaves a mark that someone else must clear.
  ok = ok && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
  const bool marked = ok;
  if (ok) {
    cfmakeraw(&tio);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS);
    tio.c_iflag &= ~(IXOFF | IXANY);  // raw mode clears only IXON
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ok = cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0 &&
         tcsetattr(fd, TCSANOW, &tio) == 0;
  }
  if (!ok) {
    if (marked) ioctl(fd, TIOCNXCL);
    close(fd);
    *why = marked ? "cannot be configured" : "not a free serial device";
    return nullptr;
  }
  driveModemLines(fd);
  return new LocalPort(fd);
}

Port* adoptLocalPort(int fd) {
  return new LocalPort(fd);
}

}  // namespace tov::platform
