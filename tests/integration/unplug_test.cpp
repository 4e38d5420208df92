// A converter that goes away in real time: the simulator is killed (its end
// of the pseudo-terminal closes at once and the COM1 link is left dangling,
// as when a USB adapter is pulled), or it stops answering with the line still
// there. The driver must give up within its deadlines while asleep, leave no
// descriptor behind, and work again with a converter plugged back in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "bench_record.h"
#include "bound_driver.h"
#include "cpu_time.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace {

using k73test::cpuSeconds;
using k73test::measure;

struct Driver : k73test::BoundDriver {
  TovHandle port(DeviceRecord* rec) {
    TovHandle handle = TOV_INVALID_HANDLE;
    GetComHandle(rec, &handle);
    return handle;
  }

  // A scan run of `scans` scans whose points must all be the simulator's inputs.
  void expectGoodScans(DeviceRecord* rec, const double* inputs, int scans) {
    for (int scan = 0; scan < scans; ++scan) {
      ASSERT_EQ(GetOneScan(rec), 1) << "scan " << scan << " error " << rec->lastError;
      const std::vector<double> mv = points(rec);
      for (int ch = 0; ch < rec->pointsPerScan; ++ch)
        EXPECT_NEAR(mv[ch], inputs[ch], 0.001) << "scan " << scan << " channel " << ch;
    }
  }
};

// Pulls the plug: SIGKILL gives the simulator no chance to tidy up, so its
// terminal vanishes and COM1 still names it.
void killAndReap(k73test::SimProcess& sim) {
  ASSERT_GT(sim.pid(), 0);
  ASSERT_EQ(kill(sim.pid(), SIGKILL), 0);
  for (int waited = 0; sim.running(); waited += 10) {
    ASSERT_LT(waited, 5000) << "the simulator outlived SIGKILL";
    timespec ts{0, 10 * 1000000L};
    nanosleep(&ts, nullptr);
  }
}

bool linkDangles(const char* name) {
  struct stat st {};
  return lstat(name, &st) == 0 && S_ISLNK(st.st_mode) && stat(name, &st) != 0;
}

const double kInputs[6] = {1000.0, 1500.5, 2000.25, 2500.0, 3333.3, 4999.0};

std::vector<std::string> simArgs() {
  std::vector<std::string> args{"--quiet", "--noise", "0"};
  for (int ch = 0; ch < 6; ++ch) {
    args.push_back("--input");
    args.push_back(std::to_string(ch) + ".0=" + std::to_string(kInputs[ch]));
  }
  return args;
}

class UnplugOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(k73test::binPath("k73sim").c_str(), X_OK) != 0) GTEST_SKIP() << "no k73sim built";
    ASSERT_TRUE(drv.ok()) << drv.lib.error();
    ASSERT_TRUE(sim.start()) << sim.log();
    descriptorsBefore = k73test::openDescriptorCount();
  }
  Driver drv;
  k73test::SimProcess sim{k73test::binPath("k73sim"), simArgs()};
  int descriptorsBefore = -1;
};

TEST_F(UnplugOverPty, ConverterPulledMidScanFailsAsleepAndWorksWhenPluggedBack) {
  DeviceRecord rec = k73test::shortestSixChannelScan(drv);
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  ASSERT_NO_FATAL_FAILURE(drv.expectGoodScans(&rec, kInputs, 3));

  ASSERT_NO_FATAL_FAILURE(killAndReap(sim));
  EXPECT_TRUE(linkDangles("COM1"));

  // Scans already taken in before the plug was pulled may still come out
  // whole; then the stream runs dry and the call times out and tries to sign
  // on again, which finds no port.
  int16_t result = 1;
  double wall = 0, cpu = 0;
  for (int call = 0; call < 4 && result == 1; ++call) {
    measure([&] { result = drv.GetOneScan(&rec); }, &wall, &cpu);
    if (result == 1) drv.points(&rec);
  }
  ASSERT_EQ(result, 0);
  EXPECT_EQ(rec.lastError, 2);
  EXPECT_GE(wall, rec.scanInterval + 2.0 - 0.01);  // a dead line is silence, not a quick failure
  EXPECT_LT(wall, rec.scanInterval + 2.0 + 15.0);
  EXPECT_LT(cpu, 0.25) << "over " << wall << " s";
  EXPECT_EQ(drv.port(&rec), TOV_INVALID_HANDLE);  // the failed sign-on let the port go
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
  EXPECT_EQ(k73test::openDescriptorCount(), descriptorsBefore);

  // A converter plugged back in on the same name: the simulator replaces the
  // dangling link itself.
  ASSERT_TRUE(sim.start()) << sim.log();
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  ASSERT_NO_FATAL_FAILURE(drv.expectGoodScans(&rec, kInputs, 4));
  EXPECT_EQ(drv.StopScanning(&rec), 1);
  EXPECT_EQ(rec.scanBufferCount, 0);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
  EXPECT_EQ(drv.port(&rec), TOV_INVALID_HANDLE);
  EXPECT_EQ(k73test::openDescriptorCount(), descriptorsBefore);
  EXPECT_TRUE(sim.running()) << sim.log();
}

// Polled reads between which the converter goes quiet (the line is still
// there, nothing answers), comes back, and then vanishes with its line.
TEST_F(UnplugOverPty, PolledConversionFailsInTimeWhenTheConverterGoes) {
  DeviceRecord rec = k73test::benchRecord();
  rec.sampleRate = 100;
  for (auto& entry : rec.scanTable) entry = 0x10;
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  rec.channel = 3;
  ASSERT_EQ(drv.SetChanCode(&rec), 1);
  ASSERT_EQ(drv.GetConversion(&rec), 1);
  EXPECT_NEAR(rec.millivolts, kInputs[3], 0.001);
  const double timeout = rec.replyTimeout / 1000.0;
  ASSERT_GT(timeout, 0);

  // Stopped, the converter hears the request but never answers it.
  ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);
  int16_t result = 1;
  double wall = 0, cpu = 0;
  measure([&] { result = drv.GetConversion(&rec); }, &wall, &cpu);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_GE(wall, timeout - 0.01);
  EXPECT_LT(wall, timeout + 3.0);
  EXPECT_LT(cpu, 0.2) << "over " << wall << " s";

  // Back again: its late answer to the lost request is stale by the next one.
  ASSERT_EQ(kill(sim.pid(), SIGCONT), 0);
  timespec settle{0, 500 * 1000000L};
  nanosleep(&settle, nullptr);
  ASSERT_EQ(drv.GetConversion(&rec), 1) << "error " << rec.lastError;
  EXPECT_NEAR(rec.millivolts, kInputs[3], 0.001);

  // Gone with its line: the request packet cannot be written, so the call
  // fails after the write layer's 3 s and leaves lastError alone.
  ASSERT_NO_FATAL_FAILURE(killAndReap(sim));
  rec.lastError = 77;
  measure([&] { result = drv.GetConversion(&rec); }, &wall, &cpu);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec.lastError, 77);
  EXPECT_LT(wall, 3.0 + 3.0);
  EXPECT_LT(cpu, 0.2) << "over " << wall << " s";

  // Its stop command cannot be written either; the port is let go all the same.
  measure([&] { EXPECT_EQ(drv.CloseDevice(&rec), 1); }, &wall, &cpu);
  EXPECT_LT(cpu, 0.2) << "over " << wall << " s";
  EXPECT_EQ(drv.port(&rec), TOV_INVALID_HANDLE);
  EXPECT_EQ(k73test::openDescriptorCount(), descriptorsBefore);
}

}  // namespace
