// k73soak: the logger against the simulated converter for hours of virtual
// time under random faults; prints the accounting table. Exit 1 when any
// scan is wrong, doubled or lost outside a marked gap.
//
//   k73soak [--hours H] [--seed N] [--spacing S] [--faults] [--remote]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "soak.h"

int main(int argc, char** argv) {
  k73soak::SoakConfig config;
  config.hours = 24;
  config.seed = std::random_device{}();
  bool listFaults = false;
  for (int i = 1; i < argc; i += 2) {
    if (!std::strcmp(argv[i], "--faults")) {
      listFaults = true;
      --i;
    } else if (!std::strcmp(argv[i], "--remote")) {
      config.remote = true;
      --i;
    } else if (i + 1 >= argc) {
      std::fprintf(stderr, "%s takes a value\n", argv[i]);
      return 2;
    } else if (!std::strcmp(argv[i], "--hours")) {
      config.hours = std::atof(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--seed")) {
      config.seed = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--spacing")) {
      config.meanFaultSpacingS = std::atof(argv[i + 1]);
    } else {
      std::fprintf(stderr,
                   "usage: k73soak [--hours H] [--seed N] [--spacing S] [--faults] [--remote]\n");
      return 2;
    }
  }
  std::printf("k73soak: seed %llu (repeat with --seed %llu)\n",
              static_cast<unsigned long long>(config.seed),
              static_cast<unsigned long long>(config.seed));
  if (listFaults) {
    for (const k73soak::Fault& f : k73soak::drawSchedule(config.seed, config.hours * 3600,
                                                         config.meanFaultSpacingS, config.remote)) {
      std::printf("  %10.3f .. %10.3f s  %s %d\n", f.fromUs / 1e6, f.toUs / 1e6,
                  k73soak::faultName(f.kind), f.every);
    }
  }
  std::fflush(stdout);
  const k73soak::SoakReport report = k73soak::runSoak(config);
  std::fputs(k73soak::formatReport(report).c_str(), stdout);
  return report.clean() ? 0 : 1;
}
