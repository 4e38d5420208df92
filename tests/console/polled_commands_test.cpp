// Polled-mode command keys on the screen model with a recording driver: the
// setting each changes, what it sends and in which order, its prompt, and the
// redrawn menu.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "polled.h"
#include "screen.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::FakeDriver;
using test::ScreenModel;
using test::TestDevices;

constexpr int kEsc = 27;

class PolledCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    screen.reset();
    fake.install();
    rec = &devices[0];
    rec->gain = 1;
    rec->channel = 0;
    rec->bytesPerConversion = 3;
    rec->bipolar = 0;
  }

  void Press(int key) {
    RunPolledCommand(key, program.maxMillivolts, program.minMillivolts, program.localAveraging,
                     program.checksumOk);
  }

  // Runs one command with the given keys and lines waiting, and checks that
  // the command used them all.
  void Command(int key, const std::string& keys) {
    screen.pushKeys(keys);
    Press(key);
    EXPECT_FALSE(KeyReady()) << "keys left after " << static_cast<char>(key);
  }

  ScreenModel& screen = ScreenModel::instance();
  TestDevices devices;
  FakeDriver fake;
  DeviceRecord* rec = nullptr;
};

TEST_F(PolledCommands, GainDoublesThroughEightStepsBackToOne) {
  std::vector<int> seen;
  fake.SendADMode = [&seen](DeviceRecord* r) -> int16_t {
    seen.push_back(r->gain);
    return 1;
  };
  for (int i = 0; i < 8; ++i) Press(i % 2 ? 'G' : 'g');
  EXPECT_EQ(seen, (std::vector<int>{2, 4, 8, 16, 32, 64, 128, 1}));
  EXPECT_TRUE(screen.textAt(5, 7, "G) Gain factor          1"));
}

TEST_F(PolledCommands, FilterCyclesThroughItsThreeSettings) {
  rec->filter = 2;
  Press('T');
  EXPECT_EQ(rec->filter, 0);
  EXPECT_TRUE(screen.textAt(5, 6, "T) filTer               4 hz"));
  Press('T');
  EXPECT_TRUE(screen.textAt(5, 6, "T) filTer              40 hz "));
  Press('T');
  EXPECT_EQ(rec->filter, 2);
  EXPECT_TRUE(screen.textAt(5, 6, "T) filTer             400 hz "));
  EXPECT_EQ(fake.count("SetFilter"), 3);
  rec->filter = 9;  // a stored code out of range starts the cycle again
  Press('T');
  EXPECT_EQ(rec->filter, 0);
}

TEST_F(PolledCommands, RemoteAveragingWrapsAtItsLimitBothWays) {
  std::vector<uint32_t> sent;
  fake.RemoteAvg = [&sent](DeviceRecord* r) -> int32_t {
    sent.push_back(r->remoteAvg);
    return 1;
  };
  rec->remoteAvg = 1;
  Command('A', "-\r");
  EXPECT_EQ(rec->remoteAvg, 32678u);
  Command('A', "-\r");
  EXPECT_EQ(rec->remoteAvg, 16339u);
  rec->remoteAvg = 16384;
  screen.pushKeys("+");
  screen.pushKey(kEsc);  // ESC still sends what was changed
  Press('A');
  EXPECT_EQ(rec->remoteAvg, 1u);
  EXPECT_EQ(sent, (std::vector<uint32_t>{32678, 16339, 1}));

  // Other keys leave the value and keep the prompt; it shows the value.
  rec->remoteAvg = 4;
  screen.pushKeys("+q");
  screen.pushKey(kEsc);
  Press('A');
  EXPECT_EQ(rec->remoteAvg, 8u);
  EXPECT_NE(screen.transcript().find("Press + increase, - decrease averaging, Enter to continue "
                                     "     8"),
            std::string::npos);
  EXPECT_TRUE(screen.textAt(5, 4, "A) remote Averaging     8"));
}

TEST_F(PolledCommands, ChannelPromptTakesTheFirstDigitFromZeroToSeven) {
  Command('C', "9a3");
  EXPECT_EQ(rec->channel, 3);
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SetChanCode", "FilterDelay"}));
  EXPECT_NE(screen.transcript().find("Enter channel 9"), std::string::npos);
  EXPECT_NE(screen.transcript().find("Enter channel a"), std::string::npos);
  EXPECT_NE(screen.transcript().find("waiting filter settling time..."), std::string::npos);
  EXPECT_TRUE(screen.textAt(5, 2, "C) A/D input Channel    3"));

  // Esc is one more key the prompt ignores; only the end of input keeps it.
  screen.pushKey(kEsc);
  screen.pushKey('5');
  Press('C');
  EXPECT_EQ(rec->channel, 5);
  screen.endOfInputIsEsc = true;
  Press('C');
  EXPECT_EQ(rec->channel, 5);
}

TEST_F(PolledCommands, SubChannelPromptAsksAgainUntilZeroToFifteen) {
  Command('E', "16\r99\r\r7\r");
  EXPECT_EQ(rec->subChannel, 7);
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SetChanCode", "FilterDelay"}));
  EXPECT_EQ(screen.clears(), 1);
  Command('E', "15\r");
  EXPECT_EQ(rec->subChannel, 15);
  Command('E', "123\r");  // only two characters count
  EXPECT_EQ(rec->subChannel, 12);
  screen.endOfInputIsEsc = true;  // nothing more to read: the value stays
  Press('E');
  EXPECT_EQ(rec->subChannel, 12);
}

TEST_F(PolledCommands, SubChannelBelowTenLeavesNoOldDigit) {
  rec->subChannel = 12;
  ShowPolledMenu('Q', 1, 1);
  rec->subChannel = 3;
  ShowPolledMenu('Q', 1, 1);
  EXPECT_TRUE(screen.textAt(5, 3, "E) External sub-channel 3  "));
}

TEST_F(PolledCommands, LocalAveragingPromptAsksAgainBelowOne) {
  Command('L', "0\r-3\rabc\r65537\r");
  EXPECT_EQ(program.localAveraging, 65537);  // low 16 bits: 1
  EXPECT_TRUE(screen.textAt(5, 5, "L) Local averaging      1        "));
  Command('L', "250\r");
  EXPECT_EQ(program.localAveraging, 250);
  EXPECT_TRUE(fake.calls.empty());

  // At the end of input the prompt stops asking and keeps the old value.
  screen.pushKeys("0\r");
  screen.endOfInputIsEsc = true;
  Press('L');
  EXPECT_EQ(program.localAveraging, 250);
}

TEST_F(PolledCommands, OutputCodePromptAsksAgainOutsideAByte) {
  Command('U', "256\r-1\r\r0\r");
  EXPECT_EQ(rec->digitalOut, 0);
  ASSERT_EQ(fake.count("SetDigOut"), 1);
  EXPECT_EQ(fake.calls.back().argument, 0);
  EXPECT_TRUE(screen.textAt(43, 3, "U) digital oUtput   0  "));

  Command('U', "200\r");
  EXPECT_EQ(fake.calls.back().argument, 200);
  EXPECT_TRUE(screen.textAt(43, 3, "U) digital oUtput   200  "));
  Press('Q');  // the value is shown only right after 'U'
  EXPECT_TRUE(screen.textAt(43, 3, "U) digital oUtput   200  "));  // left over, not redrawn

  screen.endOfInputIsEsc = true;
  Press('U');
  EXPECT_EQ(rec->digitalOut, 200);
}

TEST_F(PolledCommands, SampleRateIsClampedAndSentWithACalibration) {
  Command('R', "5\r");
  EXPECT_FLOAT_EQ(rec->sampleRate, 10.0f);
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SendADMode", "SysCal", "SetChanCode"}));
  Command('R', "2000\r");
  EXPECT_FLOAT_EQ(rec->sampleRate, 1027.0f);
  Command('R', "100\r");
  EXPECT_FLOAT_EQ(rec->sampleRate, 100.0f);
  Command('R', "fast\r");
  EXPECT_FLOAT_EQ(rec->sampleRate, 100.0f);
  Command('R', "nan\r");
  EXPECT_FLOAT_EQ(rec->sampleRate, 100.0f);
  EXPECT_TRUE(screen.textAt(5, 8, "R) sample Rate        100.0"));

  // The driver's own adjustment of the rate is what the menu shows.
  fake.SendADMode = [](DeviceRecord* r) -> int16_t {
    r->sampleRate = 99.5f;
    return 1;
  };
  Command('R', "100\r");
  EXPECT_TRUE(screen.textAt(5, 8, "R) sample Rate         99.5"));
}

TEST_F(PolledCommands, SystemCalibrationAtAWorkingGainRecalibratesTheOffset) {
  std::vector<std::string> steps;
  auto note = [&steps](const char* name) {
    return [&steps, name](DeviceRecord* r) -> int16_t {
      steps.push_back(std::string(name) + " gain " + std::to_string(r->gain) + " channel " +
                      std::to_string(r->channel));
      return 1;
    };
  };
  fake.SendADMode = note("SendADMode");
  fake.SysCal = note("SysCal");
  fake.OffsetCal = note("OffsetCal");
  fake.SetChanCode = [&steps](DeviceRecord* r) -> int32_t {
    steps.push_back("SetChanCode channel " + std::to_string(r->channel));
    return 1;
  };
  rec->gain = 8;
  rec->channel = 3;
  Press('S');
  EXPECT_EQ(steps,
            (std::vector<std::string>{"SendADMode gain 1 channel 3", "SysCal gain 1 channel 3",
                                      "SendADMode gain 8 channel 3", "OffsetCal gain 8 channel 7",
                                      "SetChanCode channel 3"}));
  EXPECT_EQ(fake.names().back(), "FilterDelay");
  EXPECT_NE(screen.transcript().find("Calibrating..."), std::string::npos);

  fake.calls.clear();
  rec->gain = 1;
  Press('s');
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SysCal", "SetChanCode", "FilterDelay"}));
}

TEST_F(PolledCommands, ChecksumVerdictShowsOnlyUntilTheNextKey) {
  Press('K');
  EXPECT_TRUE(screen.textAt(43, 4, "K) checKsum              OK"));
  EXPECT_EQ(program.checksumOk, 1);
  fake.GetCheckSum = [](DeviceRecord*) { return int16_t{0}; };
  Press('k');
  EXPECT_TRUE(screen.textAt(43, 4, "K) checKsum          not OK"));
  EXPECT_EQ(program.checksumOk, 0);
  Press('Q');
  EXPECT_TRUE(screen.textAt(43, 4, "K) checKsum                 "));
}

TEST_F(PolledCommands, DigitalInputsShowTheValueAndItsBits) {
  fake.GetDigIn = [](DeviceRecord* r) -> int16_t {
    r->digitalIn = 5;
    return 1;
  };
  Press('d');
  EXPECT_TRUE(screen.textAt(43, 2, "D) Digital inputs   5  "));
  EXPECT_TRUE(screen.textAt(61, 1, "Decimal 76543210"));
  EXPECT_TRUE(screen.textAt(69, 2, "00000101"));
  // A failed read leaves the previous value, which is what is shown.
  fake.GetDigIn = [](DeviceRecord*) { return int16_t{0}; };
  rec->digitalIn = 200;
  Press('D');
  EXPECT_TRUE(screen.textAt(43, 2, "D) Digital inputs   200"));
  EXPECT_TRUE(screen.textAt(69, 2, "11001000"));
}

TEST_F(PolledCommands, ToggleCommandsSendTheNewMode) {
  Press('P');
  EXPECT_EQ(rec->bipolar, 1);
  EXPECT_EQ(fake.names(), (std::vector<std::string>{"SendADMode", "SysCal", "SetChanCode"}));
  EXPECT_TRUE(screen.textAt(43, 8, "P) Polarity         Bipolar"));
  Press('W');
  EXPECT_EQ(rec->bytesPerConversion, 2);
  EXPECT_TRUE(screen.textAt(43, 7, "W) Word length      16 bits"));
  Press('B');
  EXPECT_EQ(rec->standby, 1);
  EXPECT_TRUE(screen.textAt(5, 9, "B) in standBy mode    "));
  EXPECT_EQ(fake.count("SendADMode"), 3);
}

TEST_F(PolledCommands, KeysWithoutACommandOnlyClearThePromptAndRedraw) {
  PrintAt(1, 23, "%s", "an old prompt left on the line");
  Press('Q');
  Press(224);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_TRUE(
      screen.textAt(1, 23, " Press ESC for menu or space to reset max/min                       "));
  EXPECT_TRUE(screen.textAt(10, 0, "POLLED  MENU"));
}

TEST_F(PolledCommands, SpaceResetsOnlyMaxAndMin) {
  program.maxMillivolts = 3;
  program.minMillivolts = 1;
  program.noise.count = 9;
  Press(' ');
  EXPECT_EQ(program.maxMillivolts, -12000.0);
  EXPECT_EQ(program.minMillivolts, 12000.0);
  EXPECT_EQ(program.noise.count, 9);
}

TEST_F(PolledCommands, SleepLeavesTheMenuUndrawn) {
  Press('Z');
  EXPECT_EQ(rec->asleep, 1);
  EXPECT_FALSE(screen.contains("POLLED"));
  Press('O');
  Press('F');
  EXPECT_EQ(fake.count("OffsetCal"), 1);
  EXPECT_EQ(fake.count("FullScaleCal"), 1);
}

}  // namespace
}  // namespace tov
