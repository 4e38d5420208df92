// A simulated hour of faults in virtual time, and seeds that once found a
// fault: every scan the converter made is logged with its own values or lies
// inside a marked gap.
#include "soak.h"

#include <gtest/gtest.h>

namespace {

void expectAccounted(uint64_t seed, double hours) {
  k73soak::SoakConfig config;
  config.seed = seed;
  config.hours = hours;
  const k73soak::SoakReport r = k73soak::runSoak(config);
  EXPECT_TRUE(r.clean()) << k73soak::formatReport(r);
  EXPECT_GT(r.loggedRight, r.scansMade / 2) << k73soak::formatReport(r);
  EXPECT_GT(r.gaps, 10);
  EXPECT_EQ(r.loggedRight + r.insideGaps + r.unreadAtStop + r.lostOutsideGaps, r.scansMade);
}

TEST(Soak, AnHourOfFaultsLosesNoScanOutsideAMarkedGap) {
  expectAccounted(20261208, 1.0);
}

}  // namespace
