// Port handle access, the debug log, and the load notifications.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "link_fixture.h"

namespace linktest {
namespace {

// Runs a test inside a private directory, where the log file is created.
class InTempDir : public LinkBench {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/k73-link-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    DllEntryPoint(nullptr, 0, nullptr);  // closes the log before its directory goes
    ASSERT_EQ(chdir(previous_), 0);
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string readLog() const {
    std::ifstream in(dir_ + "/K73_debug.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  char previous_[4096] = {};
};

TEST_F(InTempDir, DebugLogRecordsTheLevelItWasCreatedWith) {
  EXPECT_EQ(DoDebug(nullptr, 3), 1);
  const std::string first = readLog();  // flushed at once
  ASSERT_EQ(first.rfind("This log file created:  ", 0), 0u) << first;
  const size_t dateEnd = first.find('\n');
  ASSERT_NE(dateEnd, std::string::npos);
  EXPECT_EQ(dateEnd, std::string("This log file created:  ").size() + 24);  // ctime text
  EXPECT_EQ(first.substr(dateEnd + 1), "bDbgLvl:  3\r\n");
  EXPECT_EQ(tov::bDbgLvl, 3);

  EXPECT_EQ(DoDebug(nullptr, 9), 1);
  EXPECT_EQ(readLog(), first + "bDbgLvl:  3\r\n");

  tov::debugPrintf("scan %d\n", 12);
  EXPECT_EQ(readLog(), first + "bDbgLvl:  3\r\nscan 12\n");

  DllEntryPoint(nullptr, 0, nullptr);
  EXPECT_EQ(tov::debugLog, nullptr);
  EXPECT_EQ(tov::bDbgLvl, 0);
  tov::debugPrintf("not written\n");  // no log: nothing happens
  EXPECT_EQ(DoDebug(nullptr, 5), 1);  // a new log, truncated
  EXPECT_NE(readLog().find("bDbgLvl:  5\r\n"), std::string::npos);
  EXPECT_EQ(readLog().find("scan"), std::string::npos);
}

TEST_F(InTempDir, DebugLogThatCannotBeCreatedReportsZero) {
  ASSERT_EQ(mkdir("K73_debug.txt", 0755), 0);  // a directory in the way, even for root
  EXPECT_EQ(DoDebug(nullptr, 1), 0);
  EXPECT_EQ(tov::debugLog, nullptr);
}

TEST_F(LinkBench, SetComHandleReplacesTheSlotWithoutClosingIt) {
  ASSERT_TRUE(tov::openPort(&rec, 9600, 0));
  TovHandle opened = TOV_INVALID_HANDLE;
  GetComHandle(&rec, &opened);
  EXPECT_NE(opened, TOV_INVALID_HANDLE);

  SetComHandle(&rec, TOV_INVALID_HANDLE);
  EXPECT_FALSE(tov::portIsOpen(&rec));
  EXPECT_EQ(bench.openPortCount(), 1);  // still open: the caller owns it now
  SetComHandle(&rec, opened);
  EXPECT_EQ(CloseDevice(&rec), 1);
  EXPECT_EQ(bench.openPortCount(), 0);
  GetComHandle(&rec, nullptr);  // no place to put it: nothing happens
}

TEST_F(LinkBench, UnloadingClosesOpenPortsWithoutTellingTheConverters) {
  DeviceRecord second = defaultRecord();
  second.deviceIndex = 1;
  k73test::ScriptedPeer other;
  bench.attach(2, &other);
  ASSERT_TRUE(tov::openPort(&rec, 9600, 0));
  ASSERT_TRUE(tov::openPort(&second, 300, 1000));

  EXPECT_EQ(DllEntryPoint(nullptr, 2, nullptr), 1);  // thread attach: nothing
  EXPECT_EQ(bench.openPortCount(), 2);
  EXPECT_EQ(DllEntryPoint(nullptr, 0, nullptr), 1);
  EXPECT_EQ(bench.openPortCount(), 0);
  EXPECT_TRUE(bench.sent(1).empty());
  EXPECT_TRUE(bench.sent(2).empty());
  EXPECT_FALSE(tov::portIsOpen(&rec));
  EXPECT_FALSE(tov::portIsOpen(&second));

  // Loading marks every slot free without closing anything.
  second.deviceIndex = 200;
  SetComHandle(&second, 4242);
  EXPECT_EQ(DllEntryPoint(nullptr, 1, nullptr), 1);
  TovHandle handle = 0;
  GetComHandle(&second, &handle);
  EXPECT_EQ(handle, TOV_INVALID_HANDLE);
}

}  // namespace
}  // namespace linktest
