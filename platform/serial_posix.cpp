// Serial ports on Linux. Port COMn is the path "COMn" in the current
// directory: a link to a real device or to the simulator's pseudo-terminal.
// Nothing here ever falls back to /dev/ttyS*, which may be the system console.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "clock_posix.h"
#include "link_platform.h"
#include "remote_posix.h"

namespace tov::platform {

namespace {

// Bytes already taken from the kernel but not yet given to the driver. One
// read() fetches whatever has arrived, so a burst costs one system call and
// one wake-up instead of one per byte; the driver still sees single bytes.
struct ReadAhead {
  uint8_t bytes[512];
  size_t next = 0;
  size_t end = 0;
  size_t waiting() const { return end - next; }
};
// By descriptor, one port per slot. Static storage, not the heap: a driver
// that is loaded and unloaded again and again must not leave a table behind
// each time. Ports may be read from different threads at once, so a free
// slot is claimed atomically: two ports never end up sharing one.
struct ReadAheadSlot {
  std::atomic<int> fd{-1};
  ReadAhead ahead;
};
ReadAheadSlot readAheadSlots[TOV_PORT_SLOTS + 1];

ReadAhead* findReadAhead(int fd) {
  for (ReadAheadSlot& slot : readAheadSlots)
    if (slot.fd == fd) return &slot.ahead;
  return nullptr;
}

ReadAhead& readAheadOf(int fd) {
  if (ReadAhead* ahead = findReadAhead(fd)) return *ahead;
  for (ReadAheadSlot& s : readAheadSlots) {
    int freeMark = -1;
    if (s.fd.compare_exchange_strong(freeMark, fd)) {
      s.ahead = ReadAhead{};
      return s.ahead;
    }
  }
  ReadAheadSlot& last = readAheadSlots[TOV_PORT_SLOTS];  // only if every slot is taken
  last.fd = fd;
  last.ahead = ReadAhead{};
  return last.ahead;
}

void dropReadAhead(int fd) {
  for (ReadAheadSlot& slot : readAheadSlots) {
    if (slot.fd == fd) {
      slot.ahead = ReadAhead{};
      slot.fd = -1;  // free only once emptied
    }
  }
}

char openFailure[200];

TovHandle failOpen(const char* path, const char* why) {
  std::snprintf(openFailure, sizeof openFailure, "%s: %s", path, why);
  return TOV_INVALID_HANDLE;
}

TovHandle openRemote(const char* path, const std::string& target, uint32_t baud, TovDcb* dcb) {
  const char* why = "";
  const TovHandle port = remoteOpen(target, baud, &why);
  if (port == TOV_INVALID_HANDLE)
    return failOpen((std::string(path) + " -> " + target).c_str(), why);
  describeLink(dcb, baud);
  return port;
}

size_t bufferedBytes(TovHandle port) {
  const ReadAhead* ahead = findReadAhead(static_cast<int>(port));
  return ahead ? ahead->waiting() : 0;
}

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

// Waits for `events` on the port until the deadline. A port that is gone (hung
// up, in error, closed, or at end of file) is silence: sleep out the deadline.
void waitFor(TovHandle port, short events, int64_t deadlineMs) {
  const int fd = static_cast<int>(port);
  while (nowMs() < deadlineMs) {
    if (port == TOV_INVALID_HANDLE) break;
    pollfd pfd{fd, events, 0};
    const timespec left = remainingUntil(deadlineMs);
    const int rc = ppoll(&pfd, 1, &left, nullptr);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (rc == 0) continue;  // timed out: the loop condition ends it
    if (events == POLLIN) {
      int waiting = 0;
      if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) return;
      break;  // readable with nothing to read: end of file
    }
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    return;
  }
  if (nowMs() < deadlineMs) sleepUntil(deadlineMs, false);
}

void driveModemLines(int fd) {
  // DTR held on, RTS held off. Pseudo-terminals have no modem lines.
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &dtr);
  ioctl(fd, TIOCMBIC, &rts);
}

}  // namespace

const char* serialOpenFailure() {
  return openFailure;
}

void waitForInput(TovHandle port, int64_t deadlineMs) {
  if (RemotePort* remote = remotePortOf(port)) return remote->waitForInput(deadlineMs);
  if (bufferedBytes(port) > 0) return;
  waitFor(port, POLLIN, deadlineMs);
}

void waitForOutput(TovHandle port, int64_t deadlineMs) {
  if (RemotePort* remote = remotePortOf(port)) return remote->waitForOutput(deadlineMs);
  waitFor(port, POLLOUT, deadlineMs);
}

TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t /*writeTimeoutMs*/,
                     uint32_t /*inQueueSize*/, uint32_t /*outQueueSize*/, TovDcb* dcb) {
  // Writes never block here; the driver retries a byte until its own deadline,
  // which is what a write time-out amounts to. Queue sizes belong to the kernel.
  char path[16];
  std::snprintf(path, sizeof path, "COM%d", comNumber);
  std::string target;
  if (remoteTargetAt(path, &target)) return openRemote(path, target, baud, dcb);

  speed_t speed;
  if (!speedFor(baud, &speed)) return failOpen(path, "no such baud rate");
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failOpen(path, std::strerror(errno));

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
    return failOpen(path, marked ? "cannot be configured" : "not a free serial device");
  }
  driveModemLines(fd);
  dropReadAhead(fd);
  forgetRemote(fd);
  describeLink(dcb, baud);
  return fd;
}

void serialClose(TovHandle port) {
  if (port == TOV_INVALID_HANDLE) return;
  if (remotePortOf(port)) return remoteClose(port);
  dropReadAhead(static_cast<int>(port));
  // A pseudo-terminal keeps its exclusive mark after the close while the far
  // end stays open; left set, it refuses every later open but root's.
  ioctl(static_cast<int>(port), TIOCNXCL);
  close(static_cast<int>(port));
}

void serialPurge(TovHandle port) {
  // Only what came in. A byte that write() took has been written, as a
  // synchronous write on a COM port has: flushing the output here would drop
  // CloseDevice's stop command (on a pseudo-terminal too) before it is sent.
  if (RemotePort* remote = remotePortOf(port)) return remote->purgeInput();
  dropReadAhead(static_cast<int>(port));
  tcflush(static_cast<int>(port), TCIFLUSH);
}

bool serialStatus(TovHandle port, TovComStat* status) {
  const int fd = static_cast<int>(port);
  int in = 0;
  int out = 0;
  if (RemotePort* remote = remotePortOf(port)) {
    *status = TovComStat{0, remote->inputWaiting(), remote->outputWaiting()};
    return true;
  }
  if (port == TOV_INVALID_HANDLE || ioctl(fd, FIONREAD, &in) != 0) return false;
  if (ioctl(fd, TIOCOUTQ, &out) != 0) out = 0;
  status->flags = 0;
  status->cbInQue = static_cast<uint32_t>(in) + static_cast<uint32_t>(bufferedBytes(port));
  status->cbOutQue = static_cast<uint32_t>(out);
  return true;
}

bool serialWriteByte(TovHandle port, uint8_t byte) {
  if (port == TOV_INVALID_HANDLE) return false;
  if (RemotePort* remote = remotePortOf(port)) return remote->writeByte(byte);
  ssize_t n;
  do {
    n = write(static_cast<int>(port), &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

bool serialReadByte(TovHandle port, uint8_t* byte) {
  if (port == TOV_INVALID_HANDLE) return false;
  if (RemotePort* remote = remotePortOf(port)) return remote->readByte(byte);
  ReadAhead& ahead = readAheadOf(static_cast<int>(port));
  if (ahead.waiting() == 0) {
    ssize_t n;
    do {
      n = read(static_cast<int>(port), ahead.bytes, sizeof ahead.bytes);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    ahead.next = 0;
    ahead.end = static_cast<size_t>(n);
  }
  *byte = ahead.bytes[ahead.next++];
  return true;
}

}  // namespace tov::platform
