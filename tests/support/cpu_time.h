// CPU time of this process, for tests that check a wait sleeps instead of
// spinning.
#ifndef TOV_TESTS_SUPPORT_CPU_TIME_H
#define TOV_TESTS_SUPPORT_CPU_TIME_H

#include <sys/resource.h>

#include <chrono>

namespace k73test {

inline double cpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return use.ru_utime.tv_sec + use.ru_stime.tv_sec +
         (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Runs `call` and reports its wall time and the CPU time it took, in seconds.
template <class F>
void measure(F call, double* wall, double* cpu) {
  const double cpu0 = cpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  call();
  *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *cpu = cpuSeconds() - cpu0;
}

}  // namespace k73test

#endif
