// k73sim on a real pseudo-terminal: the COMn link, the 300-baud wake-up
// answered only at the right rate, the report, and a clean exit on SIGTERM.
// Real time: every wait has a generous deadline and polls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process_end.h"
#include "pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

class K73simTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/k73sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (pid_ > 0) tov::test::endProcesses({pid_}, SIGTERM, 10000);
    if (fd_ >= 0) close(fd_);
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  pid_t start(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(127);
      const int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, 1);
      dup2(devNull, 2);
      std::vector<char*> argv{const_cast<char*>(K73SIM_PATH)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(K73SIM_PATH, argv.data());
      _exit(127);
    }
    return pid;
  }

  // Exit status of pid within the deadline, or -1.
  static int waitExit(pid_t pid, int seconds) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  bool isLink(const std::string& name) const {
    struct stat st {};
    return lstat(path(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  bool waitFor(const std::function<bool()>& cond, int seconds) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
  }

  void openPort(const std::string& name) {
    fd_ = open(path(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd_, 0);
    setRate(B300);
    tcflush(fd_, TCIOFLUSH);
  }

  void setRate(speed_t speed) { ASSERT_TRUE(k73test::makeRaw(fd_, speed)); }

  // Bytes that arrive within the time.
  std::vector<uint8_t> readFor(int ms) {
    std::vector<uint8_t> got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 10);
      uint8_t b = 0;
      while (read(fd_, &b, 1) == 1) got.push_back(b);
    }
    return got;
  }

  std::string dir_;
  pid_t pid_ = -1;
  int fd_ = -1;
};

TEST_F(K73simTest, ServesTheWakeUpAtThreeHundredBaudAndCleansUpOnSigterm) {
  pid_ = start({"--quiet", "--port", "COM1", "--report", "report.txt"});
  ASSERT_TRUE(waitFor([&] { return isLink("COM1"); }, 10));
  openPort("COM1");
  // At another rate the wake-up byte is noise to the converter.
  setRate(B9600);
  const uint8_t zero = 0;
  ASSERT_EQ(write(fd_, &zero, 1), 1);
  EXPECT_TRUE(readFor(300).empty());
  setRate(B300);
  ASSERT_EQ(write(fd_, &zero, 1), 1);
  EXPECT_EQ(readFor(1000), std::vector<uint8_t>{0x03});

  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_EQ(waitExit(pid_, 10), 0);
  pid_ = -1;
  EXPECT_FALSE(isLink("COM1"));
  std::ifstream report(path("report.txt"));
  std::stringstream text;
  text << report.rdbuf();
  EXPECT_NE(text.str().find("wake-up 00\n"), std::string::npos) << text.str();
}

TEST_F(K73simTest, RefusesToReplaceAFileThatIsNotALink) {
  { std::ofstream(path("COM2")) << "keep me\n"; }
  const pid_t pid = start({"--quiet", "--port", "COM2"});
  EXPECT_EQ(waitExit(pid, 10), 1);
  std::ifstream kept(path("COM2"));
  std::string line;
  std::getline(kept, line);
  EXPECT_EQ(line, "keep me");
}

TEST_F(K73simTest, TwoSimulatorsServeTwoPortsInOneDirectory) {
  pid_ = start({"--quiet", "--port", "COM1"});
  const pid_t second = start({"--quiet", "--port", "COM2", "--misbehave", "no-handshake"});
  ASSERT_TRUE(waitFor([&] { return isLink("COM1") && isLink("COM2"); }, 10));
  openPort("COM2");
  const uint8_t zero = 0;
  ASSERT_EQ(write(fd_, &zero, 1), 1);
  EXPECT_TRUE(readFor(300).empty());  // the one on COM2 ignores wake-ups
  kill(second, SIGINT);
  EXPECT_EQ(waitExit(second, 10), 0);
  EXPECT_FALSE(isLink("COM2"));
  EXPECT_TRUE(isLink("COM1"));
}

TEST_F(K73simTest, BadOptionsAreRefusedAndHelpIsOffered) {
  EXPECT_EQ(waitExit(start({"--input", "9=100"}), 10), 2);
  EXPECT_EQ(waitExit(start({"--misbehave", "explode"}), 10), 2);
  EXPECT_EQ(waitExit(start({"--help"}), 10), 0);
  EXPECT_FALSE(isLink("COM1"));
}

}  // namespace
