// Two converters (two simulators, COM1 and COM2) driven from two threads at
// once through one loaded driver, with its debug log on: first one thread
// polling while the other scans, then both scanning; then a third converter
// behind ser2net (COM3, a remote port) opened and closed again and again
// from one thread while the other scans COM2. Built with
// ThreadSanitizer (make test-tsan), which fails the run on any data race; the
// test itself checks every value and that no log line holds another's text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench_record.h"
#include "bound_driver.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace {

constexpr double kInput[2] = {1234.0, -2500.5};  // channel 0 of COM1, of COM2
constexpr int kScans = 60;
constexpr int kReadings = 40;
constexpr int kRemoteRounds = 6;

std::vector<std::string> simArgs(double input) {
  return {"--quiet",
          "--noise",
          "0",
          "--input",
          "0=" + std::to_string(input),
          "--input",
          "1=" + std::to_string(input / 2),
          "--input",
          "5=" + std::to_string(-input / 4)};
}

bool near(double value, double wanted) {
  return value > wanted - 0.01 && value < wanted + 0.01;
}

class TwoConverters : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(k73test::binPath("k73sim").c_str(), X_OK) != 0) GTEST_SKIP() << "no k73sim built";
    ASSERT_TRUE(drv.ok()) << drv.lib.error();
    ASSERT_TRUE(com1.start()) << com1.log();
    ASSERT_TRUE(com3.start()) << com3.log();
    ASSERT_TRUE(com2.start()) << com2.log();  // the test now works in COM2's directory
    char target[256] = {};
    ASSERT_GT(readlink((com1.dir() + "/COM1").c_str(), target, sizeof target - 1), 0);
    ASSERT_EQ(symlink(target, "COM1"), 0);  // both ports side by side
    if (k73test::ser2netInstalled()) {
      char device[256] = {};
      ASSERT_GT(readlink((com3.dir() + "/COM3").c_str(), device, sizeof device - 1), 0);
      server = std::make_unique<k73test::Ser2netProcess>(device, com3.dir());
      ASSERT_TRUE(server->start()) << server->log();
      ASSERT_EQ(symlink(server->url().c_str(), "COM3"), 0);
    }
    auto doDebug = drv.lib.get<decltype(&DoDebug)>("DoDebug");
    ASSERT_TRUE(doDebug);
    DeviceRecord any = k73test::benchRecord();
    ASSERT_EQ(doDebug(&any, 1), 1);
  }

  // A record for COM(port + 1) scanning channels 0, 1 and 5 at the
  // shortest interval, signed on.
  DeviceRecord signedOn(int port) {
    DeviceRecord rec = k73test::benchRecord(port);
    rec.sampleRate = 1027;
    rec.filter = 2;
    rec.pointsPerScan = 3;
    rec.bipolar = 1;
    const int16_t table[6] = {0x00, 0x00, 0x10, 0x10, 0x10, 0x00};
    std::copy(table, table + 6, rec.scanTable);
    double longest = 0, shortest = 0;
    drv.CheckScanTime(&rec, &longest, &shortest);
    rec.scanInterval = shortest;
    EXPECT_EQ(drv.CheckScanTime(&rec, &longest, &shortest), 1);
    EXPECT_EQ(drv.SignOn(&rec), 1) << "COM" << port + 1;
    return rec;
  }

  // Scans with the digital inputs asked for (which writes the debug log);
  // the number of scans whose values were all right.
  int scan(int port, int scans) {
    DeviceRecord rec = signedOn(port);
    int good = 0;
    EXPECT_EQ(drv.StartScanning(&rec), 1);
    for (int i = 0; i < scans; ++i) {
      uint8_t fresh = 0;
      if (drv.GetOneScanWithDigin(&rec, &fresh, 1) != 1) break;
      const std::vector<double> mv = drv.points(&rec);
      const double in = kInput[port];
      if (near(mv[0], in) && near(mv[1], in / 2) && near(mv[2], -in / 4)) ++good;
    }
    drv.StopScanning(&rec);
    drv.CloseDevice(&rec);
    return good;
  }

  int poll(int port, int readings) {
    DeviceRecord rec = signedOn(port);
    int good = 0;
    drv.SetChanCode(&rec);
    for (int i = 0; i < readings; ++i)
      if (drv.GetConversion(&rec) == 1 && near(rec.millivolts, kInput[port])) ++good;
    drv.CloseDevice(&rec);
    return good;
  }

  // Signs on to the remote port, takes one reading, closes; the number of
  // rounds whose reading was right.
  int openAndClose(int rounds) {
    int good = 0;
    for (int i = 0; i < rounds; ++i) {
      DeviceRecord rec = k73test::benchRecord(2);
      if (drv.SignOn(&rec) != 1) continue;
      rec.channel = 0;
      drv.SetChanCode(&rec);
      if (drv.GetConversion(&rec) == 1 && near(rec.millivolts, kInput[0])) ++good;
      drv.CloseDevice(&rec);
    }
    return good;
  }

  k73test::BoundDriver drv;
  k73test::SimProcess com1{k73test::binPath("k73sim"), simArgs(kInput[0]), 1};
  k73test::SimProcess com2{k73test::binPath("k73sim"), simArgs(kInput[1]), 2};
  k73test::SimProcess com3{k73test::binPath("k73sim"), simArgs(kInput[0]), 3};
  std::unique_ptr<k73test::Ser2netProcess> server;
};

TEST_F(TwoConverters, PollingAndScanningThenBothScanningKeepEveryValueAndLogLine) {
  int polled = 0, scanned = 0;
  std::thread poller([&] { polled = poll(0, kReadings); });
  std::thread scanner([&] { scanned = scan(1, kScans); });
  poller.join();
  scanner.join();
  EXPECT_EQ(polled, kReadings);
  EXPECT_EQ(scanned, kScans);

  int good[2] = {0, 0};
  std::thread first([&] { good[0] = scan(0, kScans); });
  std::thread second([&] { good[1] = scan(1, kScans); });
  first.join();
  second.join();
  EXPECT_EQ(good[0], kScans);
  EXPECT_EQ(good[1], kScans);

  // Every line is one of the log's own, whole: a scan's eight bytes, or an
  // answer's three bytes followed by the scan's next seven.
  const std::string hex = "[0-9A-F]{2}";
  const std::string bytes8 = "\\((" + hex + ", ){7}" + hex + "\\)";
  const std::string bytes3 = "\\((" + hex + ", ){2}" + hex + "\\)";
  const std::string bytes7 = "\\((" + hex + ", ){6}" + hex + "\\)";
  const std::regex whole(
      "This log file created:  .*|bDbgLvl:  1\r|GetOneScanWithDigin\\(\\)-> (8 bytes:  " + bytes8 +
      "|first 3:  " + bytes3 + "  GetOneScanWithDigin\\(\\)-> next 7:  " + bytes7 + ")\r");
  std::ifstream log("K73_debug.txt");
  std::string line;
  int lines = 0, answers = 0;
  while (std::getline(log, line)) {
    ++lines;
    if (line.find("first 3") != std::string::npos) ++answers;
    EXPECT_TRUE(std::regex_match(line, whole)) << "line " << lines << ": " << line;
  }
  EXPECT_GT(answers, 0);  // digital-input answers came in front of scans
  EXPECT_GE(lines, 2 + 3 * kScans);
}

// Opening a remote port creates its port object and closing deletes it,
// while the other thread's calls on its local port go on: neither may touch
// the other's object.
TEST_F(TwoConverters, ARemotePortOpenedAndClosedBesideALocalScanKeepsBoth) {
  if (!server) GTEST_SKIP() << "ser2net is not installed";
  int remoteRounds = 0, scanned = 0;
  std::thread remote([&] { remoteRounds = openAndClose(kRemoteRounds); });
  std::thread scanner([&] { scanned = scan(1, kScans); });
  remote.join();
  scanner.join();
  EXPECT_EQ(remoteRounds, kRemoteRounds);
  EXPECT_EQ(scanned, kScans);
}

}  // namespace
