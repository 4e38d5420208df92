// Signals the console program answers on a POSIX terminal. Handlers only
// record what happened and wake the program's wait through a pipe; the
// program acts on it in its own time:
//  - Ctrl-C, SIGTERM, SIGHUP: a stop request (a second Ctrl-C while the
//    program stops the converter ends it at once);
//  - Ctrl-Z: the terminal's own settings back, then the stop; after `fg` the
//    key mode again and the screen drawn anew;
//  - a new terminal size: the screen drawn anew;
//  - a crash: the terminal's settings back, then the default action.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "console_platform.h"
#include "console_posix.h"

namespace tov::con {

namespace posix {

namespace {

volatile sig_atomic_t interruptedBy = 0;
volatile sig_atomic_t resumed = 0;
volatile sig_atomic_t resized = 0;
int wakePipe[2] = {-1, -1};

// Keeps errno as the interrupted code left it: a handler's write (or a
// failing tcsetattr) must not change what a failed call there reports.
class SavedErrno {
 public:
  SavedErrno() : saved_(errno) {}
  ~SavedErrno() { errno = saved_; }
  SavedErrno(const SavedErrno&) = delete;
  SavedErrno& operator=(const SavedErrno&) = delete;

 private:
  const int saved_;
};

void wake() {
  if (wakePipe[1] < 0) return;
  ssize_t ignored = ::write(wakePipe[1], "!", 1);
  (void)ignored;
}

void setHandler(int sig, void (*handler)(int), int flags) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

void onInterrupt(int sig) {
  const SavedErrno keep;
  if (interruptedBy != 0 && sig == SIGINT) {
    restoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  if (interruptedBy == 0) interruptedBy = sig;
  wake();
}

void onSuspend(int) {
  const SavedErrno keep;
  restoreTerminal();
  // Stop for real: the default action, with the signal let through.
  signal(SIGTSTP, SIG_DFL);
  sigset_t suspend;
  sigemptyset(&suspend);
  sigaddset(&suspend, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &suspend, nullptr);
  raise(SIGTSTP);
  // Continued (fg): the next suspend is ours again.
  setHandler(SIGTSTP, onSuspend, SA_RESTART);
  resumed = 1;
  wake();
}

void onContinue(int) {
  const SavedErrno keep;
  resumed = 1;
  wake();
}

void onResize(int) {
  const SavedErrno keep;
  resized = 1;
  wake();
}

void onFatalSignal(int sig) {
  const SavedErrno keep;
  restoreTerminal();
  // The handler was installed with SA_RESETHAND: the default action follows.
  raise(sig);
}

}  // namespace

void installSignalHandlers() {
  for (int sig : {SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
    setHandler(sig, onFatalSignal, SA_RESETHAND | SA_NODEFER);
  signal(SIGPIPE, SIG_IGN);  // a closed output is an unchecked console error, not a death

  if (pipe(wakePipe) == 0) {
    for (int fd : wakePipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) setHandler(sig, onInterrupt, SA_RESTART);
  setHandler(SIGTSTP, onSuspend, SA_RESTART);
  setHandler(SIGCONT, onContinue, SA_RESTART);
  setHandler(SIGWINCH, onResize, SA_RESTART);
}

bool interrupted() {
  return interruptedBy != 0;
}

int interruptFd() {
  return wakePipe[0];
}

void handleTerminalEvents() {
  char drained[64];
  while (wakePipe[0] >= 0 && ::read(wakePipe[0], drained, sizeof drained) > 0) {
  }
  if (resumed) {
    resumed = 0;
    reapplyMode();
    redraw();
  }
  if (resized) {
    resized = 0;
    redraw();
  }
}

}  // namespace posix

int interruptSignal() {
  return posix::interruptedBy;
}

}  // namespace tov::con
