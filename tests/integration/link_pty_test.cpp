// Signing on and off through a real pseudo-terminal to the simulator, with
// the driver loaded as a client program loads it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "bench_record.h"
#include "bound_driver.h"
#include "cpu_time.h"
#include "pty_pair.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace {

using k73test::cpuSeconds;
using k73test::measure;

DeviceRecord defaultRecord() {
  DeviceRecord rec = k73test::benchRecord();
  for (auto& entry : rec.scanTable) entry = 0x10;
  rec.scanTable[0] = 0x00;
  return rec;
}

using Driver = k73test::BoundDriver;

bool simulatorBuilt() {
  return access(k73test::binPath("k73sim").c_str(), X_OK) == 0;
}

TEST(LinkOverPty, APlainFileNamedCom1IsNotAPort) {
  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  k73test::TempWorkDir dir;
  ASSERT_TRUE(dir.ok());
  std::ofstream("COM1") << "not a serial port\n";
  const int before = k73test::openDescriptorCount();
  DeviceRecord rec = defaultRecord();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(drv.SignOn(&rec), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  TovHandle handle = 0;
  drv.GetComHandle(&rec, &handle);
  EXPECT_EQ(handle, TOV_INVALID_HANDLE);
  EXPECT_EQ(k73test::openDescriptorCount(), before);

  rec.deviceIndex = 1;  // COM2 does not exist at all
  EXPECT_EQ(drv.SignOn(&rec), 0);
  EXPECT_EQ(k73test::openDescriptorCount(), before);
}

// A pseudo-terminal whose far end stays silent and then goes away: the
// driver waits out its deadlines asleep in the kernel, not spinning.
TEST(LinkOverPty, SilentAndVanishedFarEndsCostNoCpu) {
  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  ASSERT_NE(drv.SetComHandle, nullptr);

  k73test::PtyPair pty;
  ASSERT_TRUE(pty.ok());

  DeviceRecord rec = defaultRecord();
  rec.replyTimeout = 1000;
  rec.firmwareVersion = 7;
  drv.SetComHandle(&rec, pty.slave());

  double wall = 0, cpu = 0;
  measure([&] { EXPECT_EQ(drv.GetVer(&rec), 0); }, &wall, &cpu);
  EXPECT_GE(wall, 0.99);
  EXPECT_LT(wall, 1.5);
  EXPECT_LT(cpu, 0.2);
  uint8_t got[8] = {};
  EXPECT_EQ(read(pty.master(), got, sizeof got), 3);
  EXPECT_EQ(got[0], 0x86);
  EXPECT_EQ(got[2], 0x86);

  // The far end closes: the first write finds the port gone, and a port
  // known gone fails at once instead of retrying for the write layer's 3 s.
  pty.closeMaster();
  measure([&] { EXPECT_EQ(drv.GetVer(&rec), 0); }, &wall, &cpu);
  EXPECT_LT(wall, 0.5);
  EXPECT_LT(cpu, 0.2);
  EXPECT_EQ(rec.firmwareVersion, 7);

  drv.SetComHandle(&rec, TOV_INVALID_HANDLE);
}

TEST(LinkOverPty, SignOnReadsTheVersionAndCloseDeviceReleasesThePort) {
  if (!simulatorBuilt()) GTEST_SKIP() << "k73sim is not built";
  k73test::SimProcess sim(k73test::binPath("k73sim"));
  ASSERT_TRUE(sim.start()) << sim.log();
  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();

  DeviceRecord rec = defaultRecord();
  rec.firmwareVersion = -1;
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  EXPECT_GE(rec.firmwareVersion, 0);
  TovHandle handle = TOV_INVALID_HANDLE;
  drv.GetComHandle(&rec, &handle);
  EXPECT_GE(handle, 0);
  EXPECT_EQ(rec.dcb.BaudRate, 9600u);

  rec.firmwareVersion = -1;
  EXPECT_EQ(drv.GetVer(&rec), 1);
  EXPECT_GE(rec.firmwareVersion, 0);

  // Nobody else takes the port while it is ours.
  const int other = open("COM1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other >= 0) {
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
  }

  EXPECT_EQ(drv.SignOn(&rec), 1);  // our own sign-on again: closes and reopens
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
  drv.GetComHandle(&rec, &handle);
  EXPECT_EQ(handle, TOV_INVALID_HANDLE);
  EXPECT_TRUE(sim.running()) << sim.log();
}

TEST(LinkOverPty, SigningOnAndOffManyTimesLeaksNoDescriptor) {
  if (!simulatorBuilt()) GTEST_SKIP() << "k73sim is not built";
  k73test::SimProcess sim(k73test::binPath("k73sim"));
  ASSERT_TRUE(sim.start()) << sim.log();
  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  DeviceRecord rec = defaultRecord();
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();  // warm up: stdio, locale, ...
  ASSERT_EQ(drv.CloseDevice(&rec), 1);
  const int before = k73test::openDescriptorCount();
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_EQ(drv.SignOn(&rec), 1) << "cycle " << cycle << "\n" << sim.log();
    ASSERT_EQ(drv.CloseDevice(&rec), 1);
    EXPECT_EQ(k73test::openDescriptorCount(), before) << "cycle " << cycle;
  }
}

TEST(LinkOverPty, UnloadingTheDriverClosesAPortLeftOpen) {
  if (!simulatorBuilt()) GTEST_SKIP() << "k73sim is not built";
  k73test::SimProcess sim(k73test::binPath("k73sim"));
  ASSERT_TRUE(sim.start()) << sim.log();
  const int before = k73test::openDescriptorCount();
  {
    Driver drv;
    ASSERT_TRUE(drv.ok()) << drv.lib.error();
    DeviceRecord rec = defaultRecord();
    ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
    EXPECT_EQ(k73test::openDescriptorCount(), before + 1);
  }
  EXPECT_EQ(k73test::openDescriptorCount(), before);
}

// A user without root's privileges: sign-on closes the port and opens it
// again at the working rate, and a second sign-on does so once more, so no
// port may stay marked exclusive after we close it.
TEST(LinkOverPty, AnOrdinaryUserCanSignOnAgainAndAgain) {
  if (!simulatorBuilt()) GTEST_SKIP() << "k73sim is not built";
  if (geteuid() != 0) GTEST_SKIP() << "the other tests already run without privileges";
  k73test::SimProcess sim(k73test::binPath("k73sim"));
  ASSERT_TRUE(sim.start()) << sim.log();
  char terminal[PATH_MAX];
  ASSERT_NE(realpath("COM1", terminal), nullptr);
  ASSERT_EQ(chmod(terminal, 0666), 0);
  ASSERT_EQ(chmod(sim.dir().c_str(), 0755), 0);

  constexpr uid_t kNobody = 65534;
  constexpr int kCannotLoad = 77;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(70);
    Driver drv;
    if (!drv.ok()) _exit(kCannotLoad);
    DeviceRecord rec = defaultRecord();
    int failures = 0;
    for (int signOn = 0; signOn < 3; ++signOn) failures += drv.SignOn(&rec) == 1 ? 0 : 1;
    drv.CloseDevice(&rec);
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotLoad) GTEST_SKIP() << "the build is not readable by nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "sign-ons that failed\n" << sim.log();
}

// Another program may have left software flow control on the port; the line
// to the converter carries every byte value, so sign-on turns it off.
TEST(LinkOverPty, SignOnTurnsOffFlowControlLeftOnThePort) {
  if (!simulatorBuilt()) GTEST_SKIP() << "k73sim is not built";
  k73test::SimProcess sim(k73test::binPath("k73sim"));
  ASSERT_TRUE(sim.start()) << sim.log();
  const int before = open("COM1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(before, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(before, &tio), 0);
  tio.c_iflag |= IXON | IXOFF | IXANY;
  ASSERT_EQ(tcsetattr(before, TCSANOW, &tio), 0);
  close(before);

  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  DeviceRecord rec = defaultRecord();
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  TovHandle port = TOV_INVALID_HANDLE;
  drv.GetComHandle(&rec, &port);
  ASSERT_EQ(tcgetattr(static_cast<int>(port), &tio), 0);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

// CloseDevice stops the converter and leaves the line idle before it lets the
// port go: the purge discards what the converter sends, never what we sent.
TEST(LinkOverPty, CloseDeviceDeliversItsStopCommandBeforeThePurge) {
  Driver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  ASSERT_NE(drv.SetComHandle, nullptr);
  k73test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const uint8_t scanBytes[] = {0xF0, 1, 2, 3, 0x0F};
  ASSERT_EQ(write(pty.master(), scanBytes, sizeof scanBytes),
            static_cast<ssize_t>(sizeof scanBytes));

  DeviceRecord rec = defaultRecord();
  drv.SetComHandle(&rec, pty.slave());  // the driver owns it now and closes it
  pty.forgetSlave();
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
  uint8_t got[16] = {};
  const ssize_t n = read(pty.master(), got, sizeof got);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(got[0], 0x8A);
  EXPECT_EQ(got[1], 0x00);
  EXPECT_EQ(got[2], 0x8A);
  EXPECT_EQ(got[3], 0x00);
}

}  // namespace
