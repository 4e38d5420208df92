// The built driver (tovcon, k73log) against the built simulator behind a real
// ser2net on 127.0.0.1, in real time: COM1 is a link to
// rfc2217://127.0.0.1:PORT, and ser2net serves the simulator's
// pseudo-terminal, which the simulator links as COM9.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench_record.h"
#include "bound_driver.h"
#include "cpu_time.h"
#include "log_process.h"
#include "ser2net_process.h"
#include "sim_process.h"
#include "tmux_session.h"
#include "tovdrv.h"

namespace {

const double kInputs[6] = {1000.0, -1.5, -0.25, 2500.0, -4999.0, 0.0};

std::vector<std::string> simArgs(const std::string& report) {
  std::vector<std::string> args{"--quiet", "--noise", "0", "--report", report};
  for (int ch = 0; ch < 6; ++ch) {
    args.push_back("--input");
    args.push_back(std::to_string(ch) + "=" + std::to_string(kInputs[ch]));
  }
  return args;
}

std::string linkTarget(const char* name) {
  char buffer[256];
  const ssize_t n = readlink(name, buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// CPU seconds (user + system) another process has used so far.
double processCpuS(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The share of a core `pid` uses over the next `seconds`.
double cpuShareOver(pid_t pid, double seconds) {
  const double before = processCpuS(pid);
  usleep(static_cast<useconds_t>(seconds * 1e6));
  return (processCpuS(pid) - before) / seconds;
}

// The process named `comm` whose working directory is `dir`, or -1.
pid_t processIn(const std::string& comm, const std::string& dir) {
  char real[PATH_MAX];
  const std::string cwd = realpath(dir.c_str(), real) ? real : dir;
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const std::string base = std::string("/proc/") + entry->d_name;
    std::string name;
    std::getline(std::ifstream(base + "/comm"), name);
    char link[PATH_MAX];
    const ssize_t n = readlink((base + "/cwd").c_str(), link, sizeof link - 1);
    if (name != comm || n <= 0 || cwd != std::string(link, static_cast<size_t>(n))) continue;
    found = static_cast<pid_t>(std::atol(entry->d_name));
    break;
  }
  if (proc) closedir(proc);
  return found;
}

class RemotePort : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!k73test::ser2netInstalled()) GTEST_SKIP() << "ser2net is not installed";
    if (access(k73test::binPath("k73sim").c_str(), X_OK) != 0) GTEST_SKIP() << "no k73sim built";
    ASSERT_TRUE(drv.ok()) << drv.lib.error();
    ASSERT_TRUE(sim.start()) << sim.log();
    server = std::make_unique<k73test::Ser2netProcess>(linkTarget("COM9"), sim.dir());
    ASSERT_TRUE(server->start()) << server->log();
    ASSERT_EQ(symlink(server->url().c_str(), "COM1"), 0);
  }
  void TearDown() override { unlink(reportPath.c_str()); }
  static std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::string debugLog() { return fileText("K73_debug.txt"); }
  std::string report() const { return fileText(reportPath); }

  const std::string reportPath = "/tmp/k73-remote-report-" + std::to_string(getpid());
  k73test::BoundDriver drv;
  k73test::SimProcess sim{k73test::binPath("k73sim"), simArgs(reportPath), 9};
  std::unique_ptr<k73test::Ser2netProcess> server;
};

TEST_F(RemotePort, SignsOnAtEveryBaudIndexAndTheConverterRunsAtThatRate) {
  const char* const rates[6] = {"9600", "4800", "2400", "1200", "600", "300"};
  for (int baudIndex = 0; baudIndex <= 5; ++baudIndex) {
    DeviceRecord rec = k73test::benchRecord();
    rec.baudIndex = static_cast<int16_t>(baudIndex);
    ASSERT_EQ(drv.SignOn(&rec), 1) << "baud index " << baudIndex << "\n" << report();
    EXPECT_EQ(rec.firmwareVersion, 100);
    EXPECT_EQ(drv.CloseDevice(&rec), 1);
    const std::string said = "baud index " + std::to_string(baudIndex) + ": " + rates[baudIndex];
    EXPECT_NE(report().find(said + " baud"), std::string::npos) << said << "\n" << report();
  }
}

// Bipolar 24-bit words of small negative readings are mostly 0xFF bytes,
// which travel doubled: every value must come through as the converter sent it.
TEST_F(RemotePort, PolledConversionsAndScansCarryEveryInputValueByValue) {
  DeviceRecord rec = k73test::shortestSixChannelScan(drv);
  rec.bipolar = 1;
  ASSERT_EQ(drv.SignOn(&rec), 1) << report();
  ASSERT_EQ(drv.SysCal(&rec), 1);
  for (int round = 0; round < 3; ++round) {
    for (int ch = 0; ch < 6; ++ch) {
      rec.channel = static_cast<int16_t>(ch);
      ASSERT_EQ(drv.SetChanCode(&rec), 1);
      ASSERT_EQ(drv.GetConversion(&rec), 1) << "channel " << ch << " error " << rec.lastError;
      EXPECT_NEAR(rec.millivolts, kInputs[ch], 0.001) << "channel " << ch;
    }
  }
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  for (int scan = 0; scan < 40; ++scan) {
    ASSERT_EQ(drv.GetOneScan(&rec), 1) << "scan " << scan << " error " << rec.lastError;
    const std::vector<double> mv = drv.points(&rec);
    for (int ch = 0; ch < 6; ++ch)
      ASSERT_NEAR(mv[ch], kInputs[ch], 0.001) << "scan " << scan << " channel " << ch;
  }
  EXPECT_EQ(drv.StopScanning(&rec), 1);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

// ser2net killed mid-scan or between conversions is a port gone: the call
// fails as on an unplugged local port, asleep, and ser2net started again on
// the same port serves the next sign-on.
TEST_F(RemotePort, Ser2netKilledMidScanOrMidPolledRunFailsAsleepAndARestartSignsOnAgain) {
  DeviceRecord rec = k73test::shortestSixChannelScan(drv);
  ASSERT_EQ(drv.SignOn(&rec), 1) << report();
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  for (int scan = 0; scan < 3; ++scan) {
    ASSERT_EQ(drv.GetOneScan(&rec), 1);
    drv.points(&rec);
  }
  server->kill();
  // Scans already on their way may still come out whole; then the stream
  // ends and the call gives up at its deadline, asleep.
  int16_t result = 1;
  double wall = 0, cpu = 0;
  for (int call = 0; call < 50 && result == 1; ++call) {
    k73test::measure([&] { result = drv.GetOneScan(&rec); }, &wall, &cpu);
    if (result == 1) drv.points(&rec);
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec.lastError, 2);
  EXPECT_LT(wall, rec.scanInterval + 2.0 + 15.0);
  EXPECT_LT(cpu, 0.25) << "over " << wall << " s";
  EXPECT_EQ(drv.CloseDevice(&rec), 1);

  // A polled conversion when ser2net goes: it fails within its deadlines,
  // asleep, as on a local port that vanishes.
  ASSERT_TRUE(server->start()) << server->log();
  ASSERT_EQ(drv.SignOn(&rec), 1) << report();
  ASSERT_EQ(drv.GetConversion(&rec), 1);
  server->kill();
  int16_t converted = 1;
  k73test::measure([&] { converted = drv.GetConversion(&rec); }, &wall, &cpu);
  EXPECT_EQ(converted, 0);
  EXPECT_LT(wall, rec.replyTimeout / 1000.0 + 3.0 + 3.0);
  EXPECT_LT(cpu, 0.2) << "over " << wall << " s";
  // The port is known to be gone: its stop command fails at once instead of
  // being retried for seconds.
  k73test::measure([&] { EXPECT_EQ(drv.CloseDevice(&rec), 1); }, &wall, &cpu);
  EXPECT_LT(cpu, 0.2) << "over " << wall << " s";
  EXPECT_LT(wall, 1.0);

  ASSERT_TRUE(server->start()) << server->log();
  ASSERT_EQ(drv.SignOn(&rec), 1) << report();
  ASSERT_EQ(drv.StartScanning(&rec), 1);
  for (int scan = 0; scan < 3; ++scan) {
    ASSERT_EQ(drv.GetOneScan(&rec), 1) << "error " << rec.lastError;
    EXPECT_NEAR(drv.points(&rec)[3], kInputs[3], 0.001);
  }
  EXPECT_EQ(drv.StopScanning(&rec), 1);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

// Opens that cannot work fail as a missing local port does, promptly, and
// the debug log says why.
TEST_F(RemotePort, FailedOpensFailLikeAMissingPortAndTheLogSaysWhy) {
  auto doDebug = drv.lib.get<uint8_t (*)(DeviceRecord*, uint8_t)>("DoDebug");
  ASSERT_EQ(doDebug(nullptr, 1), 1);
  // A listener that never answers: connected, but no Telnet at all.
  const int mute = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(mute, 4), 0);
  ASSERT_EQ(getsockname(mute, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string muteUrl = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  server->kill();  // its port now refuses

  const struct {
    const char* target;
    const char* why;
    double seconds;
  } cases[] = {
      {"rfc2217://bench3", "not a URL of the form rfc2217://HOST:PORT", 0.5},
      {"rfc2217://no-such-host.invalid:3001", "unknown host", 3.5},
      {nullptr, "connection refused", 3.5},
      {muteUrl.c_str(), "the server never took up the COM-PORT option", 3.5},
  };
  for (const auto& c : cases) {
    unlink("COM1");
    const std::string target = c.target ? c.target : server->url();
    ASSERT_EQ(symlink(target.c_str(), "COM1"), 0);
    DeviceRecord rec = k73test::benchRecord();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(drv.SignOn(&rec), 0) << target;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              c.seconds)
        << target;
    TovHandle handle = 0;
    drv.GetComHandle(&rec, &handle);
    EXPECT_EQ(handle, TOV_INVALID_HANDLE);
    EXPECT_NE(debugLog().find("COM1 -> " + target + ": " + c.why), std::string::npos) << debugLog();
  }
  close(mute);
}

// tovcon's polled mode over the remote port, in a real terminal.
TEST_F(RemotePort, TovconShowsPolledReadingsOverTheRemotePort) {
  std::string cfg = "1\n1024\n0\n0\n2.000000\n6\n1\n1\n";
  for (int i = 0; i < 7; ++i) cfg += "0\n";
  cfg += "0\n0\n3\n1\n2\n1\n200.000000\n0\n0\n0\n1\n";
  std::ofstream("tovset.cfg") << cfg;
  tov::test::TmuxSession tovcon(k73test::binPath("tovcon"), sim.dir());
  ASSERT_TRUE(tovcon.started());
  ASSERT_TRUE(tovcon.reachMainMenu());
  tovcon.sendKeys({"4"});
  ASSERT_TRUE(tovcon.waitForTextAt(10, 0, "POLLED  MENU")) << tovcon.screen();
  const std::regex reading(R"(^ {3} *-?\d+ {5} *-?\d+\.\d{3}$)");
  ASSERT_TRUE(tov::test::waitUntil([&] {
    return std::regex_match(tovcon.text(1, 13, 26), reading) &&
           std::regex_match(tovcon.text(1, 21, 26), reading);
  })) << tovcon.screen();
  EXPECT_NE(tovcon.text(1, 13, 26).find("1000.000"), std::string::npos) << tovcon.screen();
  tovcon.sendKeys({"Escape"});
  EXPECT_TRUE(tovcon.waitForText("Main Menu"));
  tovcon.sendKeys({"Escape"});
  EXPECT_TRUE(tovcon.waitForText("(y/n)")) << tovcon.screen();
  tovcon.sendKeys({"n"});
  int status = -1;
  EXPECT_TRUE(tovcon.waitForExit(&status));
  EXPECT_EQ(status, 0);
}

// k73log through ser2net: ser2net killed and started again mid-run leaves
// one gap mark, and the scans on both sides of it carry the inputs.
TEST_F(RemotePort, K73logReconnectsThroughARestartedSer2netWithOneGapMark) {
  k73logtest::LogProcess log({"--port", "COM1", "--channels", "0,3", "--bipolar", "-o", "run.csv"});
  ASSERT_TRUE(log.start());
  auto rows = [] { return k73logtest::lines(k73logtest::readFile("run.csv")); };
  auto dataRowsAfterGap = [&] {
    const std::vector<std::string> r = rows();
    for (size_t i = 1; i < r.size(); ++i)
      if (r[i].rfind("# gap", 0) == 0) return r.size() - i - 1;
    return size_t(0);
  };
  ASSERT_TRUE(k73logtest::waitUntil([&] { return rows().size() >= 4; }, 30000)) << log.err();
  server->kill();
  k73logtest::sleepMs(1500);
  ASSERT_TRUE(server->start()) << server->log();
  ASSERT_TRUE(k73logtest::waitUntil([&] { return dataRowsAfterGap() >= 3; }, 90000)) << log.err();
  log.signal(SIGTERM);
  ASSERT_EQ(log.wait(20000), 0) << log.err();

  int marks = 0;
  for (const std::string& row : rows()) {
    if (row.rfind("# gap", 0) == 0) {
      ++marks;
      continue;
    }
    if (row.empty() || row[0] == '#' || row.rfind("time_utc", 0) == 0) continue;
    // time_utc,t_s,ch0.0_mV,ch3.0_mV
    const size_t third = row.find(',', row.find(',') + 1);
    ASSERT_NE(third, std::string::npos) << row;
    EXPECT_NEAR(std::strtod(row.c_str() + third + 1, nullptr), kInputs[0], 0.001) << row;
    EXPECT_NEAR(std::strtod(row.c_str() + row.rfind(',') + 1, nullptr), kInputs[3], 0.001) << row;
  }
  EXPECT_EQ(marks, 1) << k73logtest::readFile("run.csv");
  EXPECT_NE(log.err().find(", 1 gaps, "), std::string::npos) << log.err();
}

// A server that goes away leaves the client's socket readable for ever with
// nothing behind it: k73log and tovcon's scan run, both waiting for a scan
// 10 s apart, must sleep until their deadlines instead of looking again and
// again. (The bound is far above what a loaded machine costs a sleeper and
// far below what a spinning client costs.)
TEST_F(RemotePort, ClientsWaitingForScansSleepWhileTheServerIsGone) {
  constexpr double kMostCpuShare = 0.20;
  k73logtest::LogProcess log(
      {"--port", "COM1", "--channels", "0", "--interval", "10", "-o", "gone.csv"});
  ASSERT_TRUE(log.start());
  ASSERT_TRUE(
      k73logtest::waitUntil([] { return !k73logtest::readFile("gone.csv").empty(); }, 30000))
      << log.err();
  k73logtest::sleepMs(3000);  // calibrated and scanning, the first scan 10 s away
  server->kill();
  k73logtest::sleepMs(300);
  EXPECT_LT(cpuShareOver(log.pid(), 5.0), kMostCpuShare) << log.err();
  log.signal(SIGTERM);
  EXPECT_EQ(log.wait(20000), 0) << log.err();

  // tovcon's scan run of the same scan, no file.
  ASSERT_TRUE(server->start()) << server->log();
  std::string cfg = "1\n1024\n0\n0\n10.000000\n1\n1\n1\n";
  for (int i = 0; i < 9; ++i) cfg += "0\n";
  cfg += "3\n1\n2\n1\n200.000000\n0\n0\n0\n1\n";
  std::ofstream("tovset.cfg") << cfg;
  tov::test::TmuxSession tovcon(k73test::binPath("tovcon"), sim.dir());
  ASSERT_TRUE(tovcon.started());
  ASSERT_TRUE(tovcon.reachMainMenu());
  tovcon.sendKeys({"5"});
  ASSERT_TRUE(tovcon.waitForTextAt(27, 0, "SCANNING  CONFIGURATION")) << tovcon.screen();
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForTextAt(20, 12, "Enter name for disk file,", 20000)) << tovcon.screen();
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForText("Press any key to quit", 20000)) << tovcon.screen();
  const pid_t pid = processIn("tovcon", sim.dir());
  ASSERT_GT(pid, 0);
  server->kill();
  k73logtest::sleepMs(300);
  EXPECT_LT(cpuShareOver(pid, 5.0), kMostCpuShare);
}

}  // namespace
