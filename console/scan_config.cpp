// The scanning configuration screen: the channel table with its control-code
// ranges, the scan interval checked against the converter's timer, and the
// scan type.
#include <cstdint>
#include <cstdio>

#include "entry.h"
#include "scanning.h"
#include "screen.h"

namespace tov {

namespace {

constexpr int kKeyEnter = 13;
constexpr int kKeyEsc = 27;

constexpr const char* kNoControlCodes =
    "You must enter control codes first, press any key to continue";
constexpr const char* kScanTimeOutOfLimits = "Scan time out of limits, press any key to continue";
constexpr const char* kReducedAveraging = "Reduced averaging to %d- Press any key to continue";

// CheckScanTime's answers.
constexpr int16_t kScanTimeRefused = 0;
constexpr int16_t kScanTimeAveragingReduced = 2;

int16_t CheckScanTimeNow(DeviceRecord* rec) {
  return driver.CheckScanTime(rec, &program.scanTimeMax, &program.scanTimeMin);
}

const char* ScanTypeName(int16_t scanType) {
  if (scanType == 0) return "Single Channel  ";
  if (scanType == 1) return "Normal          ";
  return "Self-Calibration";
}

void DrawScanConfig(DeviceRecord* rec) {
  ClearScreen();
  CountScanPoints(rec, program.channelPoints);
  PrintAt(27, 0, "SCANNING  CONFIGURATION");
  PrintAt(14, 2, "CHANNEL      EXTERNAL CONTROL CODE      NUMBER OF");
  PrintAt(54, 3, "DATA POINTS");

  if (rec->scanType == 0) {
    rec->subChannel = static_cast<int16_t>(rec->singleChanCode & 15);
    rec->channel = static_cast<int16_t>(rec->singleChanCode >> 4);
    PrintAt(18, 6, "%d", rec->channel);
    Print("               %d                 1", rec->subChannel);
    PrintAt(15, 9, "   PRESS 0 - 5 FOR CHANNEL");
  } else {
    PrintAt(29, 4, "FROM           TO        THIS CHANNEL");
    for (int i = 0; i < 6; ++i) {
      const int entry = rec->scanTable[i];
      PrintAt(17, 6 + 2 * i, "%d)           ", i);
      Print("%2d            %2d           %2d", entry >> 4, entry % 16,
            static_cast<int>(program.channelPoints[i]));
    }
  }

  PrintAt(17, 18, "6) Scan Interval  %11.4lf seconds", rec->scanInterval);
  // Self-calibration scans need gain 1: the calibration points are taken at it.
  if (rec->gain != 1 && rec->scanType == 2) rec->scanType = 0;
  PrintAt(17, 20, "7) Scan type: %s", ScanTypeName(rec->scanType));
  PrintAt(11, 22, "  Enter) Perform the scan");
  PrintAt(15, 23, "Esc) To continue");
  if (rec->scanType > 0) Print("         data points per scan  %d", rec->pointsPerScan);
  PrintAt(60, 0, "X) RU73 at COM%d", rec->deviceIndex + 1);
}

void NextDevice() {
  int next = program.currentDevice + 1;
  if (next >= kDeviceCount || program.deviceRecords[next] == nullptr) next = 0;
  program.currentDevice = static_cast<uint8_t>(next);
}

// The single-channel cell: channel n and a typed control code. Codes above 15
// wrap round the 16 codes (21 is code 5). A negative code would silently
// select a lower channel, so it is refused and the cell stays as it was.
void EnterSingleChannel(DeviceRecord* rec, int n) {
  ClearScreen();
  PrintAt(10, 11, "Channel number:    %d", n);
  CursorOn();
  PrintAt(10, 13, "Enter external control code, 0 - 15 ");
  char line[kAnswerSize];
  int16_t code = rec->subChannel;
  const bool answered = ReadEntry(line);
  CursorOff();
  if (!answered) return;
  // A line without a number keeps the old code; the channel is still n.
  int32_t typed = 0;
  if (ParseInteger(line, &typed)) code = Low16(typed);
  code = static_cast<int16_t>(code % 16);
  if (code < 0) return;
  rec->subChannel = code;
  rec->channel = static_cast<int16_t>(n);
  rec->singleChanCode = static_cast<int16_t>(n * 16 + code);
}

void ToggleScanType(DeviceRecord* rec) {
  rec->scanType =
      static_cast<int16_t>(rec->scanType >= 2 || rec->scanType < 0 ? 0 : rec->scanType + 1);
  if (rec->gain != 1 && rec->scanType == 2) rec->scanType = 0;
}

// Enter: refuse an empty table, otherwise fit the interval and go.
// Returns true to perform the scan.
bool ConfirmScan(DeviceRecord* rec) {
  if (rec->pointsPerScan == 0) {
    Print("%s", kNoControlCodes);
    WaitKey();
    return false;
  }
  const int16_t result = CheckScanTimeNow(rec);
  if (result == kScanTimeAveragingReduced) {
    Print(kReducedAveraging, static_cast<int>(rec->remoteAvg));
    WaitKey();
  } else if (result == kScanTimeRefused) {
    ClearScreen();
    PrintAt(10, 14, "%s", kScanTimeOutOfLimits);
    WaitKey();
    EnterScanTime();
  }
  return true;
}

}  // namespace

void CountScanPoints(DeviceRecord* rec, int32_t channelPoints[6]) {
  int32_t total = 0;
  for (int c = 0; c < 6; ++c) {
    const int entry = rec->scanTable[c];
    int32_t points = (entry & 15) - (entry >> 4) + 1;
    // A first code more than one above the last (only an edited settings
    // file holds one) scans nothing, like a skipped channel; a negative count
    // would take points away from the other channels.
    if (points < 0) points = 0;
    channelPoints[c] = points;
    total += points;
  }
  rec->pointsPerScan = static_cast<int16_t>(total);
}

int16_t EditScanConfig() {
  for (;;) {
    DeviceRecord* rec = program.record();
    DrawScanConfig(rec);
    const int key = WaitKey();
    if (key == 'X' || key == 'x') {
      NextDevice();
    } else if (key >= '0' && key <= '5') {
      const int n = key - '0';
      if (rec->scanType == 0) {
        EnterSingleChannel(rec, n);
      } else {
        rec->scanTable[n] = EnterControlCodes(n);
      }
    } else if (key == '6') {
      CheckScanTimeNow(rec);
      EnterScanTime();
    } else if (key == '7') {
      ToggleScanType(rec);
    } else if (key == kKeyEnter) {
      if (ConfirmScan(rec)) return 1;
    } else if (key == kKeyEsc) {
      return 0;
    }
  }
}

int16_t EnterControlCodes(int channel) {
  DeviceRecord* rec = program.record();
  char line[kAnswerSize];
  program.codeFrom = -1;
  program.codeTo = -1;
  while (program.codeFrom < 0 || program.codeFrom > 15) {
    ClearScreen();
    PrintAt(4, 22, "Enter an end code smaller than the start code to skip this channel");
    CursorOn();
    PrintAt(1, 11, "Channel number:    %d\n", channel);
    Print("Enter starting control code  ");
    if (!ReadEntry(line)) {
      // No more input: the channel keeps its codes.
      CursorOff();
      return rec->scanTable[channel];
    }
    program.codeFrom = TwoCharacterValue(line);
  }
  while (program.codeTo < 0 || program.codeTo > 15) {
    Print("Enter ending control code  ");
    const bool answered = ReadEntry(line);
    CursorOff();
    if (!answered) return rec->scanTable[channel];
    program.codeTo = TwoCharacterValue(line);
  }
  if (program.codeFrom > program.codeTo) {
    program.codeFrom = 1;
    program.codeTo = 0;
    return 16;
  }
  return static_cast<int16_t>(program.codeFrom * 16 + program.codeTo);
}

int16_t EnterScanTime() {
  DeviceRecord* rec = program.record();
  ClearScreen();
  for (;;) {
    if (rec->pointsPerScan <= 0) {
      Print("%s", kNoControlCodes);
      WaitKey();
      return 0;
    }
    CursorOn();
    PrintAt(10, 9, "Enter scan time ");
    Print("%10.4lf  - ", program.scanTimeMin);
    Print("%12.4lf  seconds  ", program.scanTimeMax);
    char line[kAnswerSize];
    const bool answered = ReadEntry(line);
    if (answered) ParseReal(line, &rec->scanInterval);
    CursorOff();

    const int16_t result = CheckScanTimeNow(rec);
    if (result == kScanTimeAveragingReduced) {
      Print(kReducedAveraging, static_cast<int>(rec->remoteAvg));
      WaitKey();
      return 1;
    }
    if (result != kScanTimeRefused) return 1;
    ClearScreen();
    PrintAt(10, 14, "%s", kScanTimeOutOfLimits);
    WaitKey();
    // Without further input the question cannot be answered: leave the
    // interval as the driver snapped it rather than ask for ever.
    if (!answered) return 0;
  }
}

}  // namespace tov
