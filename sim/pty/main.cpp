// k73sim: one simulated converter on a pseudo-terminal, linked as COMn.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "converter.h"
#include "options.h"
#include "pty_link.h"

namespace k73 {
namespace {

volatile sig_atomic_t gStopRequested = 0;
void onStopSignal(int) {
  gStopRequested = 1;
}

int64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

timespec toTimespec(int64_t us) {
  timespec ts{};
  ts.tv_sec = us / 1'000'000;
  ts.tv_nsec = (us % 1'000'000) * 1000;
  return ts;
}

// Waits shorter than this end in clock_nanosleep on the absolute deadline
// rather than in poll, whose wake-up is less exact.
constexpr int64_t kFineSleepUs = 2000;
// While no host has the port open, poll reports a hang-up at once.
constexpr int64_t kNoHostSleepUs = 5000;

class Server {
 public:
  Server(const Options& opts, PtyLink& pty, FILE* report, FILE* scanRecord,
         const sigset_t& waitMask)
      : opts_(opts), pty_(pty), report_(report), waitMask_(waitMask), converter_(opts.model) {
    // Every scan it makes, heard or not, for a reliability run's accounting.
    if (scanRecord) {
      converter_.recordScans([scanRecord](const MadeScan& scan) {
        std::fprintf(scanRecord, "%llu %lld\n", static_cast<unsigned long long>(scan.serial),
                     static_cast<long long>(scan.tickUs));
        std::fflush(scanRecord);
      });
    }
  }

  void run() {
    startUs_ = monotonicUs();
    while (!gStopRequested) {
      sendDueBytes();
      waitForWork();
      flushReport();
    }
  }

 private:
  // The converter's clock: microseconds since start, run ahead when unpaced.
  int64_t nowUs() const { return monotonicUs() - startUs_ + aheadUs_; }
  int64_t toMonotonic(int64_t converterUs) const { return converterUs - aheadUs_ + startUs_; }

  // Writes every byte that is due in one go: paced, the bytes whose time has
  // come (usually one); unpaced, up to a buffer's worth. What the
  // pseudo-terminal cannot take yet waits for POLLOUT.
  void sendDueBytes() {
    for (;;) {
      if (pendingNext_ == pending_.size()) {
        pending_.clear();
        pendingNext_ = 0;
        while (pending_.size() < kMaxBatch) {
          const int64_t due = converter_.nextByteTime();
          if (due == kNever) break;
          const int64_t now = nowUs();
          if (due > now) {
            if (!opts_.unpaced) break;
            aheadUs_ += due - now;
          }
          uint32_t baud = 0;
          const uint8_t byte = converter_.takeByte(&baud);
          if (hostOpen_) pending_.push_back(byte);  // nobody listening: the byte is lost
        }
        if (pending_.empty()) return;
      }
      const ssize_t n =
          ::write(pty_.fd(), pending_.data() + pendingNext_, pending_.size() - pendingNext_);
      if (n > 0) {
        pendingNext_ += size_t(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        pendingNext_ = pending_.size();  // the host went away with them
        continue;
      }
      return;  // the pseudo-terminal is full: wait until it can take more
    }
  }

  bool writePending() const { return pendingNext_ < pending_.size(); }

  void waitForWork() {
    int64_t due = writePending() ? kNever : converter_.nextByteTime();
    const int64_t now = nowUs();
    if (due != kNever && due - now < kFineSleepUs && !opts_.unpaced) {
      sleepUntil(toMonotonic(due));
      readHost();
      return;
    }
    pollfd p{pty_.fd(), short(POLLIN | (writePending() ? POLLOUT : 0)), 0};
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (due != kNever && !opts_.unpaced) {
      timeout = toTimespec(due - now - kFineSleepUs / 2);
      timeoutPtr = &timeout;
    } else if (due != kNever) {
      timeoutPtr = &timeout;  // unpaced: just look for input
    }
    const int r = ppoll(&p, 1, timeoutPtr, &waitMask_);
    if (r < 0) return;  // a signal; the loop checks it
    if (p.revents & POLLIN) readHost();
    if (p.revents & POLLHUP) {
      if (hostOpen_) {
        hostOpen_ = false;
        converter_.hostClosed(nowUs());
      }
      sleepUntil(monotonicUs() + kNoHostSleepUs);
    } else {
      noticeHost();
    }
  }

  // Sleeps to an absolute monotonic time; a stop signal cuts it short.
  void sleepUntil(int64_t monotonicDeadlineUs) {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &waitMask_, &held);
    const timespec at = toTimespec(monotonicDeadlineUs);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    sigprocmask(SIG_SETMASK, &held, nullptr);
  }

  void noticeHost() {
    if (hostOpen_) return;
    hostOpen_ = true;
    converter_.hostOpened(nowUs(), pty_.hostBaud());
  }

  void readHost() {
    uint8_t buf[64];
    for (;;) {
      const ssize_t n = ::read(pty_.fd(), buf, sizeof buf);
      if (n <= 0) return;
      noticeHost();
      for (ssize_t i = 0; i < n; ++i) {
        // The rate is looked up for every byte: the host may have switched.
        converter_.hostByte(buf[i], nowUs(), pty_.hostBaud());
      }
    }
  }

  void flushReport() {
    converter_.forgetPackets();
    const std::vector<std::string> lines = converter_.takeReportLines();
    if (!report_ || lines.empty()) return;
    for (const std::string& line : lines) std::fprintf(report_, "%s\n", line.c_str());
    std::fflush(report_);
  }

  const Options& opts_;
  PtyLink& pty_;
  FILE* report_;
  sigset_t waitMask_;
  Converter converter_;
  int64_t startUs_ = 0;
  int64_t aheadUs_ = 0;
  static constexpr size_t kMaxBatch = 4096;
  std::vector<uint8_t> pending_;  // bytes taken from the converter, not yet written
  size_t pendingNext_ = 0;
  bool hostOpen_ = false;
};

int serve(int argc, char** argv) {
  Options opts;
  std::string error;
  if (!parseOptions(argc, argv, &opts, &error)) {
    std::fprintf(stderr, "k73sim: %s\nTry k73sim --help.\n", error.c_str());
    return 2;
  }
  if (opts.help) {
    std::fputs(usageText(), stdout);
    return 0;
  }
  // SIGINT and SIGTERM are held back except while waiting, so a stop request
  // cannot slip in between a check and a poll (a short sleep may finish first).
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  PtyLink pty;
  if (!pty.open(&error)) {
    std::fprintf(stderr, "k73sim: %s\n", error.c_str());
    return 1;
  }
  FILE* report = nullptr;
  if (!opts.reportPath.empty()) {
    report = std::fopen(opts.reportPath.c_str(), "a");
    if (!report) {
      std::fprintf(stderr, "k73sim: cannot open report file %s\n", opts.reportPath.c_str());
      return 1;
    }
  }
  FILE* scanRecord = nullptr;
  if (!opts.scanRecordPath.empty() &&
      !(scanRecord = std::fopen(opts.scanRecordPath.c_str(), "a"))) {
    std::fprintf(stderr, "k73sim: cannot open scan record %s\n", opts.scanRecordPath.c_str());
    if (report) std::fclose(report);
    return 1;
  }
  PortName portName;
  if (!portName.create(opts.port, pty.slavePath(), &error)) {
    std::fprintf(stderr, "k73sim: %s\n", error.c_str());
    if (report) std::fclose(report);
    if (scanRecord) std::fclose(scanRecord);
    return 1;
  }
  if (!opts.quiet) {
    std::printf("k73sim: %s -> %s%s\n", opts.port.c_str(), pty.slavePath().c_str(),
                opts.unpaced ? " (unpaced)" : "");
    std::fflush(stdout);
  }
  Server(opts, pty, report, scanRecord, waitMask).run();
  portName.remove();
  if (report) std::fclose(report);
  if (scanRecord) std::fclose(scanRecord);
  return 0;
}

}  // namespace
}  // namespace k73

int main(int argc, char** argv) {
  return k73::serve(argc, argv);
}
