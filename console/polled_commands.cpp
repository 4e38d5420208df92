// Polled-mode command keys: each changes one converter setting and sends it,
// asks for a value on the prompt line (row 23), reads something back from
// the converter, or runs a calibration. The menu panel is redrawn after each.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "entry.h"
#include "polled.h"
#include "screen.h"

namespace tov {

namespace {

constexpr int kEsc = 27;
constexpr int kEnter = 13;
constexpr const char* kSettling = "                       waiting filter settling time...";

void AdjustRemoteAveraging(DeviceRecord* rec) {
  for (;;) {
    // The prompt is drawn once and the key awaited: the value only changes
    // with a key, so there is nothing to redraw meanwhile.
    PrintAt(1, 23, "Press + increase, - decrease averaging, Enter to continue %6d",
            static_cast<int>(rec->remoteAvg));
    const int key = WaitKey();
    if (key == '+') rec->remoteAvg = rec->remoteAvg * 2u;
    if (key == '-') rec->remoteAvg = rec->remoteAvg >> 1;
    if (rec->remoteAvg == 0)
      rec->remoteAvg = 32678;
    else if (rec->remoteAvg > 32678)
      rec->remoteAvg = 1;
    if (key == kEnter || key == '\n' || key == kEsc || key < 0) break;
  }
  driver.RemoteAvg(rec);
}

void EnterChannel(DeviceRecord* rec) {
  for (;;) {
    PrintAt(1, 23, "Enter channel ");
    const int key = WaitKeyEcho();
    // ESC (also what the keyboard gives at the end of input) keeps the
    // channel; every other key but '0' to '7' is ignored.
    if (key == kEsc || key < 0) return;
    if (key >= '0' && key <= '7') {
      rec->channel = static_cast<int16_t>(key - '0');
      return;
    }
  }
}

void EnterSubChannel(DeviceRecord* rec) {
  int value = -1;
  while (value < 0 || value > 15) {
    CursorOn();
    PrintAt(1, 23, "Enter sub channel ");
    char line[kAnswerSize];
    const bool got = ReadEntry(line);
    CursorOff();
    if (!got) return;
    value = TwoCharacterValue(line);
  }
  rec->subChannel = static_cast<int16_t>(value);
}

void EnterLocalAveraging(int32_t& localAveraging) {
  const int32_t previous = localAveraging;
  localAveraging = 0;
  CursorOn();
  while (Low16(localAveraging) < 1) {
    PrintAt(1, 23, "Enter local averaging ");
    char line[kAnswerSize];
    if (!ReadEntry(line)) {
      localAveraging = Low16(previous) < 1 ? 1 : previous;
      break;
    }
    ParseInteger(line, &localAveraging);
  }
  CursorOff();
}

void EnterOutputCode(DeviceRecord* rec) {
  const int32_t previous = rec->digitalOut;
  rec->digitalOut = -1;
  CursorOn();
  while (rec->digitalOut < 0 || rec->digitalOut > 255) {
    PrintAt(1, 23, "Enter Output Code ");
    char line[kAnswerSize];
    if (!ReadEntry(line)) {
      rec->digitalOut = previous;
      break;
    }
    ParseInteger(line, &rec->digitalOut);
  }
  CursorOff();
}

// System calibration runs at gain 1; at any other gain the offset is then
// calibrated again on the internal zero input (channel 7) at the working gain.
void SystemCalibration(DeviceRecord* rec) {
  PrintAt(31, 23, "Calibrating...");
  const int16_t gain = rec->gain;
  const int16_t channel = static_cast<int16_t>(rec->channel & 0xFF);
  if (gain != 1) {
    rec->gain = 1;
    driver.SendADMode(rec);
  }
  driver.SysCal(rec);
  if (gain != 1) {
    rec->gain = gain;
    driver.SendADMode(rec);
    rec->channel = 7;
    driver.OffsetCal(rec);
  }
  rec->channel = channel;
  driver.SetChanCode(rec);
  driver.FilterDelay(rec);
}

}  // namespace

void EnterSampleRate() {
  DeviceRecord* rec = program.record();
  CursorOn();
  PrintAt(1, 23, "            Enter sample rate between 10 and 1027  ");
  char line[kAnswerSize];
  if (ReadEntry(line)) {
    char* end = nullptr;
    const float rate = std::strtof(line, &end);
    // No number, or "nan", keeps the old rate.
    if (end != line && !std::isnan(rate)) rec->sampleRate = rate;
  }
  CursorOff();
  if (rec->sampleRate > 1027.0f)
    rec->sampleRate = 1027.0f;
  else if (rec->sampleRate < 10.0f)
    rec->sampleRate = 10.0f;
  driver.SendADMode(rec);
  driver.SysCal(rec);
  driver.SetChanCode(rec);
  ClearScreen();
}

void RunPolledCommand(int key, double& maxMillivolts, double& minMillivolts,
                      int32_t& localAveraging, int16_t& checksumOk) {
  if (key >= 'a' && key <= 'z') key = key - 'a' + 'A';
  DeviceRecord* rec = program.record();
  PrintAt(1, 23, "%51s", "");

  switch (key) {
    case 'Z':
      rec->asleep = static_cast<int16_t>(driver.GotoSleep(rec));
      break;
    case 'T':
      ++rec->filter;
      if (rec->filter >= 3) rec->filter = 0;
      driver.SetFilter(rec);
      break;
    case 'R':
      EnterSampleRate();
      break;
    case 'B':
      rec->standby = rec->standby == 0 ? 1 : 0;
      driver.SendADMode(rec);
      break;
    case 'G':
      // 128 doubled is 256, which is 1 modulo 255: the gain wraps to 1.
      rec->gain = static_cast<int16_t>(std::fmod(2.0 * rec->gain, 255.0));
      driver.SendADMode(rec);
      break;
    case 'P':
      rec->bipolar = rec->bipolar == 0 ? 1 : 0;
      driver.SendADMode(rec);
      driver.SysCal(rec);
      driver.SetChanCode(rec);
      break;
    case 'W':
      rec->bytesPerConversion = rec->bytesPerConversion == 2 ? 3 : 2;
      driver.SendADMode(rec);
      break;
    case 'A':
      AdjustRemoteAveraging(rec);
      break;
    case 'C':
      EnterChannel(rec);
      driver.SetChanCode(rec);
      PrintAt(1, 23, "%s", kSettling);
      driver.FilterDelay(rec);
      break;
    case 'D':
      driver.GetDigIn(rec);
      break;
    case 'E':
      EnterSubChannel(rec);
      driver.SetChanCode(rec);
      ClearScreen();
      PrintAt(1, 23, "%s", kSettling);
      driver.FilterDelay(rec);
      break;
    case 'L':
      EnterLocalAveraging(localAveraging);
      break;
    case 'K':
      checksumOk = driver.GetCheckSum(rec);
      break;
    case 'S':
      SystemCalibration(rec);
      break;
    case 'O':
      PrintAt(31, 23, "Calibrating...");
      driver.OffsetCal(rec);
      break;
    case 'F':
      PrintAt(31, 23, "Calibrating...");
      driver.FullScaleCal(rec);
      break;
    case 'U':
      EnterOutputCode(rec);
      driver.SetDigOut(rec, rec->digitalOut);
      break;
    case ' ':
      maxMillivolts = -12000.0;
      minMillivolts = 12000.0;
      break;
    default:  // 'X' is handled by the caller after the redraw
      break;
  }

  if (rec->asleep == 0) ShowPolledMenu(key, localAveraging, checksumOk);
}

}  // namespace tov
