// Scan runs through the built driver and a pseudo-terminal to the simulator,
// in real time: every point of every scan must be the simulator's input for
// that channel, and a run after StopScanning and a new sign-on works again.
#include <gtest/gtest.h>
#include <unistd.h>

#include "bench_record.h"
#include "bound_driver.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace {

using ScanDriver = k73test::BoundDriver;

const double kInputs[6] = {1000.0, 1500.5, 2000.25, 2500.0, 3333.3, 4999.0};

std::vector<std::string> simArgs() {
  std::vector<std::string> args{"--quiet", "--noise", "0", "--digin", "165"};
  for (int ch = 0; ch < 6; ++ch) {
    args.push_back("--input");
    args.push_back(std::to_string(ch) + ".0=" + std::to_string(kInputs[ch]));
  }
  return args;
}

class ScanOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(k73test::binPath("k73sim").c_str(), X_OK) != 0) GTEST_SKIP() << "no k73sim built";
    ASSERT_TRUE(drv.ok()) << drv.lib.error();
    ASSERT_TRUE(sim.start()) << sim.log();
  }
  ScanDriver drv;
  k73test::SimProcess sim{k73test::binPath("k73sim"), simArgs()};
};

TEST_F(ScanOverPty, ScansCarryTheInputsAndARunCanFollowAStoppedOne) {
  DeviceRecord rec = k73test::shortestSixChannelScan(drv);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(drv.SignOn(&rec), 1) << "run " << run << "\n" << sim.log();
    ASSERT_EQ(drv.StartScanning(&rec), 1) << "run " << run;
    for (int scan = 0; scan < 8; ++scan) {
      ASSERT_EQ(drv.GetOneScan(&rec), 1)
          << "run " << run << " scan " << scan << " error " << rec.lastError;
      const std::vector<double> mv = drv.points(&rec);
      for (int ch = 0; ch < 6; ++ch) EXPECT_NEAR(mv[ch], kInputs[ch], 0.001) << "channel " << ch;
    }
    EXPECT_EQ(drv.StopScanning(&rec), 1) << "run " << run;
    EXPECT_EQ(rec.scanBufferCount, 0);
  }
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

TEST_F(ScanOverPty, DigitalInputsArriveBetweenScans) {
  DeviceRecord rec = k73test::shortestSixChannelScan(drv);
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  int answers = 0;
  for (int scan = 0; scan < 6; ++scan) {
    uint8_t fresh = 0;
    ASSERT_EQ(drv.GetOneScanWithDigin(&rec, &fresh, 1), 1)
        << "scan " << scan << " error " << rec.lastError;
    if (fresh) {
      ++answers;
      EXPECT_EQ(rec.digitalIn, 165);
    }
    const std::vector<double> mv = drv.points(&rec);
    EXPECT_NEAR(mv[5], kInputs[5], 0.001);
  }
  EXPECT_GE(answers, 3);  // every scan after the first query's answer carries one
  EXPECT_EQ(drv.StopScanning(&rec), 1);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

}  // namespace
