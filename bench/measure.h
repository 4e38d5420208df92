// Clocks, CPU time and memory figures for the benchmark, and the small
// statistics it needs.
#ifndef TOV_BENCH_MEASURE_H
#define TOV_BENCH_MEASURE_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Seconds on CLOCK_MONOTONIC (the driver's clock runs on the same one).
double nowS();
int64_t nowNs();
void sleepS(double seconds);

// CPU seconds (user + system) of the calling thread.
double threadCpuS();
// CPU seconds (user + system) of another process, from /proc/<pid>/stat;
// negative when it cannot be read.
double processCpuS(pid_t pid);
// Peak resident set (VmHWM) of a process in KiB; negative when unknown.
long peakResidentKiB(pid_t pid);

// Wall time and CPU time of one stretch of work on this thread.
class CpuMeter {
 public:
  CpuMeter();
  void stop();
  double wallS() const { return wall_; }
  double cpuS() const { return cpu_; }
  // CPU as a share of one core while the wall clock ran.
  double share() const { return wall_ > 0 ? cpu_ / wall_ : 0; }

 private:
  double wall0_, cpu0_;
  double wall_ = 0, cpu_ = 0;
};

// The same for another process.
class ProcessCpuMeter {
 public:
  explicit ProcessCpuMeter(pid_t pid);
  void stop();
  double share() const { return wall_ > 0 ? cpu_ / wall_ : 0; }
  double wallS() const { return wall_; }

 private:
  pid_t pid_;
  double wall0_, cpu0_;
  double wall_ = 0, cpu_ = 0;
};

// The CPU the rest of the machine uses while this process waits for
// `seconds`: busy time of all CPUs (/proc/stat) less this process's own
// (/proc/self/stat), as a share of one core; negative when /proc cannot be
// read. Taken before and after a run, it tells an idle machine from one
// whose other work competes with the figures.
double otherProcessesCpuShare(double seconds);

// Above this share of a core taken by others, a run counts as loaded.
constexpr double kLoadedShare = 0.05;

struct MachineLoad {
  double before = -1, after = -1;  // otherProcessesCpuShare, around the run
  bool loaded() const { return before > kLoadedShare || after > kLoadedShare; }
  // One line for the table's header.
  std::string describe() const;
};

// The q-quantile (0..1) of the samples, nearest rank; 0 for none.
double quantile(std::vector<double> samples, double q);

// The process whose command name is `comm` and whose working directory is
// `cwd`; -1 when there is none.
pid_t findProcess(const std::string& comm, const std::string& cwd);

}  // namespace bench

#endif
