#include "main_menu.h"

#include <cstdint>
#include <new>

#include "binding.h"
#include "console_platform.h"
#include "entry.h"
#include "polled.h"
#include "program.h"
#include "scanning.h"
#include "screen.h"
#include "settings_file.h"
#include "sign_on.h"
#include "tovscan.h"

namespace tov {

namespace {

constexpr int kEsc = 27;
constexpr uint32_t kSmallestInputQueue = 11;

// Set once the exit has released the library: nothing may be called in it.
bool driverReleased = false;

constexpr const char* kNoticeCaption =
    "NOTICE --- This is not an error or warning, but please read.";
constexpr const char* kNoticeText =
    "Please read:\n\nThis version of our console application is designed for developers. However, "
    "it can also be used by non-developers by understanding a few issues that are done "
    "automatically in some of our other sample applications, but not by this one.\n\n For "
    "example, the COM port setting will always load with COM1 regardless of what has been saved "
    "in the configuration file. Also, although the application is designed for handling up to 256 "
    "COM ports, that option is only available through addtional changes to the source code by a "
    "software developer.";

bool BaudIndexValid(int16_t index) {
  return tovBaudRate(index) > 0;
}

// Each record gets its number, an awake converter, and the settings of an
// absent file, so that a field the file does not supply holds a usable
// value rather than zero.
bool AllocateDeviceRecords() {
  for (int i = 0; i < kDeviceCount; ++i) {
    DeviceRecord* rec = new (std::nothrow) DeviceRecord();
    if (!rec) return false;
    int32_t ignored = 1;
    SetConfigurationDefaults(rec, ignored);
    rec->deviceIndex = static_cast<int16_t>(i);
    rec->asleep = 0;
    rec->standby = 0;
    rec->counterPreset = -1;  // every device, not only the first
    program.deviceRecords[i] = rec;
    program.signedOn[i] = 0;
  }
  return true;
}

void LoadSettingsIntoEveryDevice() {
  for (int i = 0; i < kDeviceCount; ++i) {
    program.currentDevice = static_cast<uint8_t>(i);
    DeviceRecord* rec = program.deviceRecords[i];
    if (!LoadConfiguration(rec, program.localAveraging)) {
      PrintAt(24, 9, "unable to read TOVSET.CFG file");
      PrintAt(26, 10, "press any key to continue");
      WaitKey();
    }
    // Device n always talks to COM(n+1), whatever the file said.
    rec->deviceIndex = static_cast<int16_t>(i);
  }
  program.currentDevice = 0;
  program.deviceRecords[0]->standby = 0;
  program.deviceRecords[0]->asleep = 0;
}

void EnterScanningMode() {
  DeviceRecord* rec = program.record();
  ClearScreen();
  const int16_t channel = rec->channel;
  const int16_t subChannel = rec->subChannel;
  if (EditScanConfig() != 0) ScanRun(channel, subChannel);
}

}  // namespace

int StartUp(const char* driverFile) {
  // The console is prepared first so that the notice can wait for its key.
  bool outputOk = false, inputOk = false;
  con::init(&outputOk, &inputOk);
  con::noticeBox(kNoticeCaption, kNoticeText);
  if (!AllocateDeviceRecords()) {
    con::messageBox("-- error", "Error allocating device records");
    return 1;
  }
  program.maxMillivolts = -12000.0;
  program.minMillivolts = 12000.0;
  program.localAveraging = 1;
  program.checksumOk = 1;
  program.readingRow = 14;
  ResetNoiseStats(program.noise);
  if (!outputOk) {
    con::messageBox("-- error", "Error writing to console");
    return 1;
  }
  if (!inputOk) {
    con::messageBox("-- error", "Error reading from console");
    return 1;
  }
  if (!LoadDriver(driverFile)) return 1;
  if (!BindDriver()) return 1;
  LoadSettingsIntoEveryDevice();
  return 0;
}

void DrawMainMenu() {
  const DeviceRecord* rec = program.record();
  ClearScreen();
  PrintAt(22, 3, "MODEL K73 Data Acquisition System");
  PrintAt(34, 5, "Main Menu");
  if (BaudIndexValid(rec->baudIndex))
    PrintAt(20, 7, "1) Baud rate          %4d", static_cast<int>(tovBaudRate(rec->baudIndex)));
  else
    PrintAt(20, 7, "1) Baud rate          %4s", "?");
  PrintAt(20, 9, "2) Serial port        COM%d", rec->deviceIndex + 1);
  PrintAt(20, 11, "3) Input buffer     %6d bytes", static_cast<int32_t>(rec->inQueueSize));
  PrintAt(20, 13, "4) Polled Mode");
  PrintAt(20, 15, "5) Scanning Mode");
  PrintAt(18, 17, "Esc) Exit program");
  if (rec->asleep) PrintAt(20, 19, "Model K73 is in sleep mode");
}

void EnterInputBufferSize() {
  DeviceRecord* rec = program.record();
  ClearScreen();
  CursorOn();
  PrintAt(14, 11, "(enter between 11 and 32767)");
  PrintAt(15, 9, "Enter size of input buffer  ");
  // At end of input nothing is parsed and the size stays.
  char answer[kAnswerSize];
  int32_t value = 0;
  if (ReadEntry(answer) && ParseInteger(answer, &value))
    rec->inQueueSize = static_cast<uint32_t>(value);
  CursorOff();
  if (rec->inQueueSize < kSmallestInputQueue) rec->inQueueSize = kSmallestInputQueue;
}

void ExitProgram() {
  DeviceRecord* rec = program.record();
  driver.CloseDevice(rec);
  UnloadDriver();
  driverReleased = true;
  ClearScreen();
  Print("\nDo you wish to save configuration (y/n)?  ");
  const int key = WaitKey();
  Print("\n");
  if (key == 'Y' || key == 'y')
    SaveConfiguration(rec, program.localAveraging);  // failure is silent
}

bool RunMainMenuKey(int key) {
  DeviceRecord* rec = program.record();
  switch (key) {
    case kEsc:
      ExitProgram();
      return false;
    case '1':
      // An index outside the table (only a damaged record has one) restarts at 9600.
      rec->baudIndex =
          static_cast<int16_t>(BaudIndexValid(rec->baudIndex + 1) ? rec->baudIndex + 1 : 0);
      break;
    case '2':
      program.currentDevice = static_cast<uint8_t>((program.currentDevice + 1) % kDeviceCount);
      break;
    case '3':
      EnterInputBufferSize();
      break;
    case '4':
      if (SignOnForPolledMode()) RunPolledMode('4');
      break;
    case '5':
      EnterScanningMode();
      break;
    default:
      break;  // anything else only redraws the menu
  }
  return true;
}

int StopAfterInterrupt(int signal) {
  // A scan run has stopped its scanning and closed its file while unwinding.
  if (!driverReleased && driver.GetComHandle != nullptr && driver.CloseDevice != nullptr) {
    for (DeviceRecord* rec : program.deviceRecords) {
      if (rec == nullptr) continue;
      TovHandle port = TOV_INVALID_HANDLE;
      driver.GetComHandle(rec, &port);
      if (port != TOV_INVALID_HANDLE) driver.CloseDevice(rec);
    }
  }
  return 128 + signal;
}

int RunMainMenu() {
  driverReleased = false;  // the menu runs on a bound driver
  try {
    for (;;) {
      DrawMainMenu();
      if (!RunMainMenuKey(WaitKey())) return 0;
    }
  } catch (const Interrupted& stop) {
    return StopAfterInterrupt(stop.signal);
  }
}

int RunProgram() {
  int status = 0;
  try {
    status = StartUp();
    StopIfInterrupted();  // a stop asked for during the notice or the loading
  } catch (const Interrupted& stop) {
    status = StopAfterInterrupt(stop.signal);
  }
  if (status == 0) status = RunMainMenu();
  con::restore();
  return status;
}

}  // namespace tov
