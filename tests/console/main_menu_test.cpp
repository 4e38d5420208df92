// The main menu, its keys, the polled-mode sign-on, start-up and exit, with
// the screen model for a terminal and a recording fake for the driver.
#include "main_menu.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "binding.h"
#include "polled.h"
#include "program.h"
#include "screen_model.h"
#include "sign_on.h"
#include "tmux_session.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::ScreenModel;
using test::ScriptExhausted;
using test::TempDir;
using test::TestDevices;

constexpr int kEsc = 27;

class MainMenu : public ::testing::Test {
 protected:
  void SetUp() override {
    screen().reset();
    fake.install();
  }
  ScreenModel& screen() { return ScreenModel::instance(); }
  DeviceRecord& current() { return *program.record(); }
  // Runs the menu on the script until the script runs out.
  void RunKeys(const std::string& keys) {
    screen().pushKeys(keys);
    EXPECT_THROW(RunMainMenu(), ScriptExhausted);
  }
  TestDevices devices;
  FakeDriver fake;
};

TEST_F(MainMenu, ShowsTheCurrentDeviceSettingsAtTheirPlaces) {
  DrawMainMenu();
  EXPECT_TRUE(screen().textAt(22, 3, "MODEL K73 Data Acquisition System"));
  EXPECT_TRUE(screen().textAt(34, 5, "Main Menu"));
  EXPECT_EQ(screen().text(20, 7, 26), "1) Baud rate          9600");
  EXPECT_EQ(screen().text(20, 9, 26), "2) Serial port        COM1");
  EXPECT_EQ(screen().text(20, 11, 32), "3) Input buffer       1024 bytes");
  EXPECT_TRUE(screen().textAt(20, 13, "4) Polled Mode"));
  EXPECT_TRUE(screen().textAt(20, 15, "5) Scanning Mode"));
  EXPECT_TRUE(screen().textAt(18, 17, "Esc) Exit program"));
  EXPECT_FALSE(screen().contains("sleep"));

  current().asleep = 1;
  DrawMainMenu();
  EXPECT_TRUE(screen().textAt(20, 19, "Model K73 is in sleep mode"));
}

TEST_F(MainMenu, BaudRateStepsThroughTheTableAndWrapsToTheFirst) {
  const char* expected[] = {"4800", "2400", "1200", " 600", " 300", "9600"};
  for (const char* rate : expected) {
    RunKeys("1");
    EXPECT_EQ(screen().text(42, 7, 4), rate);
  }
  // A damaged index is never used to look up a rate and steps back to 9600.
  current().baudIndex = 17;
  DrawMainMenu();
  EXPECT_EQ(screen().text(42, 7, 4), "   ?");
  RunKeys("1");
  EXPECT_EQ(current().baudIndex, 0);
}

TEST_F(MainMenu, SerialPortStepsThroughTheDevicesEachWithItsOwnSettings) {
  devices[1].baudIndex = 5;
  devices[1].inQueueSize = 64;
  RunKeys("2");
  EXPECT_EQ(screen().text(42, 9, 4), "COM2");
  EXPECT_EQ(screen().text(42, 7, 4), " 300");
  EXPECT_EQ(screen().text(40, 11, 6), "    64");
  RunKeys("22");
  EXPECT_EQ(screen().text(42, 9, 4), "COM4");
  RunKeys("2");
  EXPECT_EQ(screen().text(42, 9, 4), "COM1");
  EXPECT_EQ(screen().text(42, 7, 4), "9600");
}

TEST_F(MainMenu, InputBufferPromptStoresTheTypedSize) {
  struct {
    const char* typed;
    uint32_t stored;
    const char* shown;
  } cases[] = {{"5", 11, "    11"},           {"40000", 40000, " 40000"},
               {"-5", 4294967291u, "    -5"},  // not below 11 as an unsigned number
               {"1024", 1024, "  1024"},       // the first typed key is not lost
               {"abc", 1024, "  1024"},        // no number keeps the size
               {"", 1024, "  1024"}};
  for (const auto& c : cases) {
    screen().pushKey('3');
    screen().typeLine(c.typed);
    EXPECT_THROW(RunMainMenu(), ScriptExhausted);
    EXPECT_EQ(current().inQueueSize, c.stored) << c.typed;
    EXPECT_EQ(screen().text(40, 11, 6), c.shown) << c.typed;
    EXPECT_FALSE(screen().cursorVisible());
  }
}

TEST_F(MainMenu, InputBufferPromptLayoutAndEndOfInput) {
  current().inQueueSize = 300;
  screen().pushKey('3');
  screen().endOfInputIsEsc = true;
  screen().pushKey(kEsc);  // after the prompt: leave, and answer "no" to saving
  // The prompt sees the end of input: the size stays, the menu ends.
  ScreenModel& s = screen();
  s.onKeyPoll = [&] {
    if (s.keysLeft() == 1 && s.textAt(15, 9, "Enter size of input buffer  ")) {
      EXPECT_TRUE(s.textAt(14, 11, "(enter between 11 and 32767)"));
      EXPECT_TRUE(s.cursorVisible());
    }
  };
  EXPECT_EQ(RunMainMenu(), 0);
  EXPECT_EQ(current().inQueueSize, 300u);
}

TEST_F(MainMenu, KeysWithoutAnActionOnlyRedraw) {
  screen().pushExtendedKey(80);  // down arrow: 224, then 80
  screen().pushKeys("x9");
  const int clearsBefore = screen().clears();
  EXPECT_THROW(RunMainMenu(), ScriptExhausted);
  EXPECT_EQ(screen().clears() - clearsBefore, 5);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(current().baudIndex, 0);
  EXPECT_EQ(program.currentDevice, 0);
}

TEST_F(MainMenu, PolledEntrySignsOnCalibratesAndEntersPolledMode) {
  // Key 4, then Esc leaves polled mode; the script ends at the menu.
  screen().pushKey('4');
  screen().delayNextKey(2);
  screen().pushKey(kEsc);
  EXPECT_THROW(RunMainMenu(), ScriptExhausted);
  std::vector<std::string> names = fake.names();
  const std::vector<std::string> signOn = {"SignOn",    "GetComHandle", "SysCal",     "GetVer",
                                           "RemoteAvg", "SetChanCode",  "FilterDelay"};
  ASSERT_GE(names.size(), signOn.size());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 7), signOn);
  EXPECT_GE(fake.count("GetConversion"), 1);
  EXPECT_EQ(program.signedOn[0], 1);
  EXPECT_EQ(program.comHandle, 3);
  EXPECT_TRUE(screen().textAt(34, 5, "Main Menu"));
}

TEST_F(MainMenu, SignOnMessagesAndFailures) {
  fake.SignOn = [&](DeviceRecord* rec) {
    EXPECT_TRUE(screen().textAt(30, 11, "Signing on at COM3"));
    EXPECT_EQ(rec, &devices[2]);
    return int16_t{0};
  };
  program.currentDevice = 2;
  devices[2].asleep = 1;
  screen().pushKey(' ');
  EXPECT_FALSE(SignOnForPolledMode());
  EXPECT_TRUE(screen().textAt(16, 13, "unable to sign on.  Press any key to continue"));
  EXPECT_EQ(fake.names(), std::vector<std::string>{"SignOn"});
  EXPECT_EQ(devices[2].asleep, 0);
  EXPECT_EQ(screen().keysLeft(), 0u);

  fake.calls.clear();
  fake.SignOn = [](DeviceRecord*) { return int16_t{1}; };
  fake.SysCal = [&](DeviceRecord*) {
    EXPECT_TRUE(screen().textAt(20, 11, "Performing system calibration..."));
    return int16_t{0};
  };
  screen().pushKey(' ');
  EXPECT_FALSE(SignOnForPolledMode());
  EXPECT_TRUE(screen().textAt(16, 13, "unable to do Syscal.  Press any key to continue"));
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SignOn", "GetComHandle", "SysCal"}));
  EXPECT_EQ(program.signedOn[2], 0);
}

TEST_F(MainMenu, SignOnFailureReturnsToTheSameMenu) {
  fake.SignOn = [](DeviceRecord*) { return int16_t{0}; };
  RunKeys("1");
  const std::string before = screen().screen();
  RunKeys("4 ");
  EXPECT_EQ(screen().screen(), before);
  EXPECT_EQ(fake.count("SysCal"), 0);
}

class ProgramRun : public MainMenu {
 protected:
  void SetUp() override {
    MainMenu::SetUp();
    ASSERT_EQ(getcwd(oldDir, sizeof oldDir), oldDir);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(oldDir), 0);
    if (driverModule) UnloadDriver();
  }
  int StartWithTestDriver() {
    return StartUp((std::string(TOV_TEST_DRIVER_DIR) + "/libtovdrv_complete.so").c_str());
  }
  TempDir dir;
  char oldDir[4096];
};

TEST_F(ProgramRun, ExitWithNoLeavesTheFileAndYesWritesTheCurrentDevice) {
  dir.write("tovset.cfg", "keep me\n");
  screen().pushKeys({kEsc, 'n'});
  EXPECT_EQ(RunMainMenu(), 0);
  EXPECT_EQ(dir.read("tovset.cfg"), "keep me\n");
  EXPECT_EQ(fake.names(), std::vector<std::string>{"CloseDevice"});
  EXPECT_NE(screen().transcript().find("\nDo you wish to save configuration (y/n)?  "),
            std::string::npos);

  devices[1].baudIndex = 3;
  program.localAveraging = 5;
  fake.calls.clear();
  screen().pushKeys({'2', kEsc, 'Y'});
  EXPECT_EQ(RunMainMenu(), 0);
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].record, &devices[1]);
  const std::string saved = dir.read("tovset.cfg");
  EXPECT_EQ(saved.substr(0, 12), "1\n1024\n3\n1\n2");
  EXPECT_EQ(saved.substr(saved.size() - 2), "5\n");
}

TEST_F(ProgramRun, StartsWithoutAFileOnDefaultsAfterFourMessages) {
  screen().pushKeys("abcd");
  ASSERT_EQ(StartWithTestDriver(), 0);
  EXPECT_EQ(screen().keysLeft(), 0u);
  ASSERT_EQ(screen().boxes().size(), 1u);
  EXPECT_EQ(screen().boxes()[0].caption,
            "NOTICE --- This is not an error or warning, but please read.");
  EXPECT_TRUE(screen().textAt(24, 9, "unable to read TOVSET.CFG file"));
  EXPECT_TRUE(screen().textAt(26, 10, "press any key to continue"));
  for (int i = 0; i < kDeviceCount; ++i) {
    EXPECT_EQ(program.deviceRecords[i]->deviceIndex, i);
    EXPECT_EQ(program.deviceRecords[i]->inQueueSize, 1024u);
    EXPECT_EQ(program.deviceRecords[i]->counterPreset, -1);
  }
  EXPECT_EQ(program.currentDevice, 0);
  EXPECT_EQ(program.localAveraging, 1);
  DrawMainMenu();
  EXPECT_EQ(screen().text(20, 7, 26), "1) Baud rate          9600");
  EXPECT_EQ(screen().text(20, 9, 26), "2) Serial port        COM1");
}

TEST_F(ProgramRun, SavedPortNeverSelectsTheDevice) {
  dir.write("tovset.cfg", "1\n512\n2\n2\n");
  ASSERT_EQ(StartWithTestDriver(), 0);
  EXPECT_EQ(screen().keysLeft(), 0u);  // no message, no key
  for (int i = 0; i < kDeviceCount; ++i) {
    EXPECT_EQ(program.deviceRecords[i]->deviceIndex, i);
    EXPECT_EQ(program.deviceRecords[i]->inQueueSize, 512u);
    EXPECT_EQ(program.deviceRecords[i]->baudIndex, 2);
  }
  EXPECT_EQ(program.currentDevice, 0);
}

TEST_F(ProgramRun, MissingExportEndsStartUpWithStatusOne) {
  EXPECT_EQ(StartUp((std::string(TOV_TEST_DRIVER_DIR) + "/libtovdrv_no_bytes.so").c_str()), 1);
  EXPECT_EQ(screen().boxes().size(), 2u);
  EXPECT_EQ(driverModule, nullptr);
  EXPECT_TRUE(screen().blank());  // nothing drawn
}

}  // namespace
}  // namespace tov
