// Polled mode: the live single-channel meter. A running column of readings
// on rows 13 to 21, the settings panel above it, max/min and noise figures
// beside it. Command keys are in polled_commands.cpp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "entry.h"
#include "polled.h"
#include "screen.h"
#include "sign_on.h"

namespace tov {

namespace {

constexpr int kEsc = 27;
constexpr int kFirstReadingRow = 14;  // one more than the row written next
constexpr int kLastReadingRow = 22;   // readingRow after a reading on row 21

bool IsEndOfInput(int key) {
  return key < 0;
}

int UpperCase(int key) {
  return (key >= 'a' && key <= 'z') ? key - 'a' + 'A' : key;
}

bool ResetsNoiseStats(int key) {
  return key == 'C' || key == 'E' || key == 'G' || key == 'P' || key == 'W';
}

void ShowStatistics() {
  const NoiseStats& noise = program.noise;
  double delta = program.maxMillivolts - program.minMillivolts;
  if (delta < 0) delta = -delta;
  PrintAt(40, 13, "Maximum     %9.3lf mv       ", program.maxMillivolts);
  PrintAt(40, 14, "Minimum     %9.3lf mv       ", program.minMillivolts);
  PrintAt(40, 15, "Delta       %9.3lf mv       ", delta);
  PrintAt(40, 16, "Average     %9.3lf mv       ", noise.average);
  PrintAt(40, 18, "Standard deviation  %9.3lf mv    ", noise.stdDev);
  PrintAt(40, 19, "Effective Resolution  %5.1lf   bits", noise.effectiveBits);
}

// The converter stopped answering or answered wrongly: show the driver's code
// and hold the screen until ESC (or the end of input), then leave polled mode.
void ShowConversionFailure(const DeviceRecord* rec) {
  PrintAt(1, 22, "get conversion failed, press any key to continue");
  Print("\n       %X       ", static_cast<unsigned>(rec->lastError));
  for (;;) {
    const int key = WaitKey();
    if (key == kEsc || IsEndOfInput(key)) return;
  }
}

// Readings until a key is waiting. False when a conversion failed.
bool ReadUntilKey(DeviceRecord* rec) {
  while (!KeyReady()) {
    if (rec->standby != 0) return true;  // no conversions; wait for a key
    // A failed reading can leave the row past the cycle; start it again.
    if (program.readingRow < kFirstReadingRow || program.readingRow > kLastReadingRow)
      program.readingRow = kFirstReadingRow;
    const int row = program.readingRow - 1;
    ++program.readingRow;

    if (!TakePolledReading(rec, LocalAveragingInUse(program.localAveraging))) {
      ShowConversionFailure(rec);
      return false;
    }
    PrintAt(1, row, "   %9ld     %9.3lf", static_cast<long>(rec->counts), rec->millivolts);
    if (program.maxMillivolts < rec->millivolts) program.maxMillivolts = rec->millivolts;
    if (program.minMillivolts > rec->millivolts) program.minMillivolts = rec->millivolts;
    UpdateNoiseStats(program.noise, rec);

    if (program.readingRow == kLastReadingRow + 1) {
      ShowStatistics();
      PrintAt(1, 13, "%s", "");
      program.readingRow = kFirstReadingRow;
    }
  }
  return true;
}

enum class PolledExit { MainMenu, PortChanged };

// From the menu panel to the key that leaves this device's screen.
PolledExit RunPolledScreen(int enteringKey) {
  ClearScreen();
  PrintAt(1, 0, "%s", "");
  ShowPolledMenu(enteringKey, program.localAveraging, program.checksumOk);

  int key = enteringKey;
  for (;;) {
    if (key == kEsc) return PolledExit::MainMenu;
    DeviceRecord* rec = program.record();
    if (!ReadUntilKey(rec)) return PolledExit::MainMenu;

    key = WaitKey();
    if (IsEndOfInput(key)) return PolledExit::MainMenu;
    if (key != kEsc) {
      key = UpperCase(key);
      if (ResetsNoiseStats(key)) ResetNoiseStats(program.noise);
      RunPolledCommand(key, program.maxMillivolts, program.minMillivolts, program.localAveraging,
                       program.checksumOk);
      if (key == 'X') {
        return SelectPolledPort() ? PolledExit::PortChanged : PolledExit::MainMenu;
      }
    }
    if (program.record()->asleep != 0) return PolledExit::MainMenu;
  }
}

}  // namespace

int16_t LocalAveragingInUse(int32_t localAveraging) {
  const int16_t low = Low16(localAveraging);
  return low < 1 ? 1 : low;
}

bool TakePolledReading(DeviceRecord* rec, int16_t averaging) {
  if (averaging < 1) averaging = 1;
  // 64 bits: 32767 full-scale 24-bit counts would overflow a 32-bit sum.
  int64_t countSum = 0;
  double millivoltSum = 0;
  for (int i = 0; i < averaging; ++i) {
    if (driver.GetConversion(rec) == 0) return false;
    countSum += rec->counts;
    millivoltSum += rec->millivolts;
  }
  rec->millivolts = millivoltSum / averaging;
  rec->counts = static_cast<int32_t>(countSum / averaging);  // truncates toward zero
  return true;
}

void ShowPolledMenu(int key, int32_t localAveraging, int16_t checksumOk) {
  const DeviceRecord* rec = program.record();
  PrintAt(10, 0, "POLLED  MENU   Marquant Model K73   Version=%d\n", rec->firmwareVersion);
  PrintAt(5, 2, "C) A/D input Channel    %d", rec->channel);
  PrintAt(5, 3, "E) External sub-channel %d", rec->subChannel);
  if (rec->subChannel < 10) Print(" ");
  PrintAt(5, 4, "A) remote Averaging     %d", static_cast<int>(rec->remoteAvg));
  PrintAt(5, 5, "L) Local averaging      %d        ", Low16(localAveraging));
  PrintAt(5, 6, "T) filTer             ");
  Print(rec->filter == 0 ? "  4 hz" : rec->filter == 1 ? " 40 hz " : "400 hz ");
  PrintAt(5, 7, "G) Gain factor        %3d", rec->gain);
  PrintAt(5, 8, "R) sample Rate       %6.1lf", static_cast<double>(rec->sampleRate));
  PrintAt(5, 9, "B) ");
  Print(rec->standby != 0 ? "in standBy mode    " : "out of standBy mode");

  PrintAt(43, 2, "D) Digital inputs ");
  if (key == 'D') {
    Print("  %d", rec->digitalIn);
    if (rec->digitalIn < 100) Print("  ");
    PrintAt(61, 1, "Decimal 76543210\n");
    char bits[9];
    for (int bit = 7; bit >= 0; --bit) bits[7 - bit] = (rec->digitalIn >> bit) & 1 ? '1' : '0';
    bits[8] = '\0';
    PrintAt(69, 2, "%s", bits);
  }
  PrintAt(43, 3, "U) digital oUtput   ");
  if (key == 'U') Print("%d  ", static_cast<int>(rec->digitalOut));
  PrintAt(43, 4, "K) checKsum         ");
  if (key == 'K')
    Print(checksumOk != 0 ? "     OK" : " not OK");
  else
    Print("        ");
  PrintAt(43, 5, "S) System calibration");
  PrintAt(43, 6, "O) Offset calibration");
  PrintAt(43, 7, "W) Word length      ");
  Print(rec->bytesPerConversion == 3 ? "24 bits" : "16 bits");
  PrintAt(43, 8, "P) Polarity        ");
  Print(rec->bipolar != 0 ? " Bipolar" : "Unipolar");
  PrintAt(43, 9, "Z) sleep");
  PrintAt(43, 10, "X) Port=COM%d  ", rec->deviceIndex + 1);
  PrintAt(6, 11, "Counts      Millivolts\n");
  PrintAt(1, 23, " Press ESC for menu or space to reset max/min                       ");
}

void RunPolledMode(int key) {
  // A stored averaging count below 1 (an edited configuration file) is
  // refused here and replaced by the default of one conversion per reading.
  if (Low16(program.localAveraging) < 1) program.localAveraging = 1;

  // A port change comes back here with 'X' instead of calling in again.
  while (RunPolledScreen(key) == PolledExit::PortChanged) key = 'X';
}

bool SelectPolledPort() {
  CursorOn();
  int n = 0;
  for (;;) {
    PrintAt(1, 23, "%58s", "");
    PrintAt(1, 23, "Enter COM(1-4)");
    char line[kAnswerSize];
    if (!ReadEntry(line)) {
      // End of input: stay on the current port.
      n = program.currentDevice + 1;
      break;
    }
    const long entry = std::strtol(line, nullptr, 10);
    if (entry >= 1 && entry <= kDeviceCount && program.deviceRecords[entry - 1] != nullptr) {
      n = static_cast<int>(entry);
      break;
    }
  }
  program.currentDevice = static_cast<uint8_t>(n - 1);
  CursorOff();
  if (program.signedOn[program.currentDevice] != 0) return true;
  return SignOnForPolledMode();
}

}  // namespace tov
