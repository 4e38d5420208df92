// The logger's stop requests and waits on POSIX: the signal handler writes
// to a pipe that every wait polls beside the port, so a signal ends a wait
// at once without a polling loop.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "logger_platform.h"

namespace tov::logger {

namespace {

volatile sig_atomic_t stopFlag = 0;
int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const int saved = errno;
  stopFlag = 1;
  if (stopPipe[1] >= 0) {
    const char byte = 1;
    (void)!write(stopPipe[1], &byte, 1);
  }
  errno = saved;
}

int msUntil(int64_t deadlineMs) {
  const int64_t left = deadlineMs - monotonicMs();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

// Polls the stop pipe and, when given, the port until the deadline.
PortWait waitOn(int portFd, int64_t deadlineMs) {
  for (;;) {
    if (stopFlag) return PortWait::Stop;
    const int timeout = msUntil(deadlineMs);
    if (timeout == 0) return PortWait::Deadline;
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {portFd, POLLIN, 0}};
    const int rc = poll(fds, portFd >= 0 ? 2 : 1, timeout);
    if (rc < 0 && errno != EINTR) return PortWait::Deadline;
    if (rc <= 0 || portFd < 0 || fds[1].revents == 0) continue;
    if (fds[1].revents & (POLLERR | POLLNVAL)) return PortWait::Gone;
    if (!(fds[1].revents & POLLHUP)) return PortWait::Input;
    int waiting = 0;
    if (ioctl(portFd, FIONREAD, &waiting) == 0 && waiting > 0) return PortWait::Input;
    return PortWait::Gone;  // hung up with nothing left to read: the other end closed
  }
}

}  // namespace

void installStopHandlers() {
  if (stopPipe[0] < 0 && pipe(stopPipe) == 0) {
    for (int fd : stopPipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // A write of the log in progress goes on (a pipe to a slow reader must not
  // turn a clean stop into a failed write); waits poll the pipe above and
  // poll() returns on a signal whatever the flag.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output shows as a failed write
}

bool stopRequested() {
  return stopFlag != 0;
}

void runEnded() {}

int64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t utcMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

PortWait waitForPortInput(TovHandle port, int64_t deadlineMs) {
  return waitOn(port == TOV_INVALID_HANDLE ? -1 : static_cast<int>(port), deadlineMs);
}

PortWait sleepUntil(int64_t deadlineMs) {
  return waitOn(-1, deadlineMs);
}

bool stderrIsTerminal() {
  return isatty(2) == 1;
}

}  // namespace tov::logger
