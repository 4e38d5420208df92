// tovcon in a real terminal: start-up, the menu, the settings file, the
// sign-on against k73sim, fatal start-up failures, end of input, keys typed
// ahead and Ctrl-C.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tmux_session.h"

namespace tov::test {
namespace {

const std::string kBin = TOV_BIN_DIR;
constexpr int kSignOnWaitMs = 30000;  // handshake at 300 baud, then calibration

std::string Tovcon() {
  return kBin + "/tovcon";
}

void Pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool CopyFile(const std::string& from, const std::string& to) {
  return runCommand({"cp", from, to}) == 0;
}

// Past the start-up notice to the main menu, with a settings file present.
void ReachMenu(TmuxSession& tovcon) {
  ASSERT_TRUE(tovcon.waitForText("NOTICE --- This is not an error or warning")) << tovcon.screen();
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForTextAt(34, 5, "Main Menu")) << tovcon.screen();
}

const char* kSettings =
    "1\n512\n1\n2\n2.000000\n6\n1\n1\n0\n0\n0\n0\n0\n0\n0\n0\n0\n3\n1\n2\n1\n"
    "10.000000\n0\n0\n0\n1\n";

TEST(Tovcon, StartsWithoutSettingsOnDefaultsAndEndsWithoutSaving) {
  TempDir dir;
  TmuxSession tovcon(Tovcon(), dir.path());
  ASSERT_TRUE(tovcon.started());
  ASSERT_TRUE(tovcon.waitForText("NOTICE --- This is not an error or warning"));
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForTextAt(24, 9, "unable to read TOVSET.CFG file")) << tovcon.screen();
  EXPECT_EQ(tovcon.text(26, 10, 25), "press any key to continue");
  // One message per device: three keys still leave it on the screen.
  tovcon.sendKeys({"a", "b", "c"});
  Pause(300);
  EXPECT_EQ(tovcon.screen().find("Main Menu"), std::string::npos) << tovcon.screen();
  tovcon.sendKeys({"d"});
  ASSERT_TRUE(tovcon.waitForTextAt(34, 5, "Main Menu")) << tovcon.screen();
  EXPECT_EQ(tovcon.text(20, 7, 26), "1) Baud rate          9600");
  EXPECT_EQ(tovcon.text(20, 9, 26), "2) Serial port        COM1");
  EXPECT_EQ(tovcon.text(20, 11, 32), "3) Input buffer       1024 bytes");

  tovcon.sendKeys({"Escape"});
  ASSERT_TRUE(tovcon.waitForText("Do you wish to save configuration (y/n)?"));
  tovcon.sendKeys({"n"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(dir.exists("tovset.cfg"));
}

TEST(Tovcon, TypedSizeAndSaveOnYes) {
  TempDir dir;
  dir.write("tovset.cfg", kSettings);
  TmuxSession tovcon(Tovcon(), dir.path());
  ReachMenu(tovcon);
  EXPECT_EQ(tovcon.text(20, 7, 26), "1) Baud rate          4800");
  EXPECT_EQ(tovcon.text(20, 9, 26), "2) Serial port        COM1");  // the file said device 2
  // An over-long answer: its tail must not come back as menu keys (2 would
  // change the port).
  tovcon.sendKeys({"3"});
  ASSERT_TRUE(tovcon.waitForText("Enter size of input buffer"));
  EXPECT_TRUE(tovcon.cursor().visible);
  tovcon.typeText("2048" + std::string(80, ' ') + "222");
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForText("2048 bytes")) << tovcon.screen();
  Pause(200);
  EXPECT_EQ(tovcon.text(20, 9, 26), "2) Serial port        COM1");
  // Arrow keys have no action at the menu.
  tovcon.sendKeys({"Down", "Up", "1"});
  ASSERT_TRUE(tovcon.waitForText("1) Baud rate          2400")) << tovcon.screen();

  tovcon.sendKeys({"Escape"});
  ASSERT_TRUE(tovcon.waitForText("Do you wish to save configuration (y/n)?"));
  tovcon.sendKeys({"y"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
  const std::string saved = dir.read("tovset.cfg");
  EXPECT_EQ(saved.substr(0, 12), "1\n2048\n2\n0\n2") << saved;
}

TEST(Tovcon, SignsOnAtKeyFourAndShowsReadings) {
  TempDir dir;
  Simulator sim(kBin, dir.path(), {1});
  if (!sim.ready()) GTEST_SKIP() << "k73sim is not built";
  dir.write("tovset.cfg", kSettings);
  TmuxSession tovcon(Tovcon(), dir.path());
  ReachMenu(tovcon);
  tovcon.sendKeys({"4"});
  ASSERT_TRUE(tovcon.waitForTextAt(30, 11, "Signing on at COM1")) << tovcon.screen();
  ASSERT_TRUE(tovcon.waitForText("Performing system calibration...", kSignOnWaitMs))
      << tovcon.screen();
  ASSERT_TRUE(tovcon.waitForText("Press ESC for menu", kSignOnWaitMs)) << tovcon.screen();
  // Channel 0 of the simulated bench sits near 1234.5 mV.
  ASSERT_TRUE(tovcon.waitForText("1234.", kSignOnWaitMs)) << tovcon.screen();
  tovcon.sendKeys({"Escape"});
  ASSERT_TRUE(tovcon.waitForTextAt(34, 5, "Main Menu")) << tovcon.screen();
  tovcon.sendKeys({"Escape", "n"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
}

TEST(Tovcon, SignOnFailureWithoutAConverter) {
  TempDir dir;
  dir.write("tovset.cfg", kSettings);
  TmuxSession tovcon(Tovcon(), dir.path());
  ReachMenu(tovcon);
  tovcon.sendKeys({"4"});
  ASSERT_TRUE(
      tovcon.waitForTextAt(16, 13, "unable to sign on.  Press any key to continue", kSignOnWaitMs))
      << tovcon.screen();
  tovcon.sendKeys({"Space"});
  ASSERT_TRUE(tovcon.waitForTextAt(34, 5, "Main Menu"));
  tovcon.sendKeys({"Escape", "n"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
}

TEST(Tovcon, MissingLibraryEndsWithStatusOne) {
  TempDir dir;
  ASSERT_TRUE(CopyFile(Tovcon(), dir.file("tovcon")));  // no driver beside this copy
  TmuxSession tovcon("env -u LD_LIBRARY_PATH ./tovcon", dir.path());
  ASSERT_TRUE(tovcon.waitForText("NOTICE ---"));
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForText("Error loading tovdrv.DLL")) << tovcon.screen();
  EXPECT_NE(tovcon.screen().find("-- error"), std::string::npos);
  tovcon.sendKeys({"Enter"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 1);
}

TEST(Tovcon, MissingExportIsNamedAndEndsWithStatusOne) {
  TempDir dir;
  ASSERT_TRUE(CopyFile(Tovcon(), dir.file("tovcon")));
  ASSERT_TRUE(CopyFile(std::string(TOV_TEST_DRIVER_DIR) + "/libtovdrv_no_comhandle.so",
                       dir.file("libtovdrv.so")));
  TmuxSession tovcon("./tovcon", dir.path());
  ASSERT_TRUE(tovcon.waitForText("NOTICE ---"));
  tovcon.sendKeys({"Enter"});
  ASSERT_TRUE(tovcon.waitForText("IMPORTANT NOTICE ---")) << tovcon.screen();
  EXPECT_NE(tovcon.screen().find("     GetComHandle(...)\n"), std::string::npos) << tovcon.screen();
  tovcon.sendKeys({"Enter"});
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 1);
}

TEST(Tovcon, EndOfInputEndsTheProgramWithoutSaving) {
  TempDir dir;
  TmuxSession tovcon(Tovcon() + " < /dev/null 2> notice.txt", dir.path());
  int status = -1;
  ASSERT_TRUE(tovcon.waitForExit(&status)) << tovcon.screen();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(dir.exists("tovset.cfg"));
  EXPECT_NE(dir.read("notice.txt").find("NOTICE ---"), std::string::npos);
}

TEST(Tovcon, InterruptRestoresTheTerminal) {
  TempDir dir;
  dir.write("tovset.cfg", kSettings);
  // The shell survives the interrupt and records the terminal settings after.
  TmuxSession tovcon(
      "sh -c \"trap '' INT; " + Tovcon() + "; stty -a > stty.txt; echo done; sleep 30\"",
      dir.path());
  ReachMenu(tovcon);
  tovcon.sendKeys({"3"});
  ASSERT_TRUE(tovcon.waitForText("Enter size of input buffer"));
  tovcon.sendKeys({"Escape", "C-c"});
  ASSERT_TRUE(tovcon.waitForText("done")) << tovcon.screen();
  const std::string settings = dir.read("stty.txt");
  EXPECT_NE(settings.find(" icanon"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("-icanon"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("-echo "), std::string::npos) << settings;
  EXPECT_TRUE(tovcon.cursor().visible);
}

// An arrow typed ahead of a line prompt is a key, not two characters of
// the answer.
TEST(Tovcon, AnArrowTypedAheadOfAPromptStaysOutOfTheAnswer) {
  TempDir dir;
  dir.write("tovset.cfg", kSettings);
  TmuxSession tovcon(Tovcon(), dir.path());
  ReachMenu(tovcon);
  tovcon.sendKeys({"3", "Up", "5", "0", "0", "Enter"});
  ASSERT_TRUE(tovcon.waitForTextAt(34, 5, "Main Menu")) << tovcon.screen();
  EXPECT_TRUE(tovcon.waitForText("3) Input buffer        500 bytes")) << tovcon.screen();
}

}  // namespace
}  // namespace tov::test
