// Scan runs: sign on, ask for the data file, start the converter's scanning,
// show every scan in the table of channels against control codes and append
// it to the file, until a key or a bad scan; then back to the configuration.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "console_platform.h"
#include "scan_file.h"
#include "scanning.h"
#include "screen.h"
#include "sign_on.h"
#include "tovscan.h"

namespace tov {

namespace {

constexpr int kMessageColumn = 2;
constexpr int kMessageRow = 18;
constexpr int kStatusRow = 24;
constexpr int kMostKeysDiscarded = 256;

// The run's message for a failed scan; the framing failure's text has always
// ended its own line.
void ShowScanFailure(int32_t lastError) {
  const char* text = tovScanFailureText(lastError);
  PrintAt(kMessageColumn, kMessageRow, "%s%s", text ? text : "", lastError == 1 ? "\n" : "");
}

// Values land in the table only where the table has a cell: channels 0-5,
// control codes 0-15. A value outside it still goes to the file.
bool IsTableCell(int channel, int code) {
  return channel >= 0 && channel <= 5 && code >= 0 && code <= 15;
}

int CellColumn(int channel) {
  return channel * 12 + 5;
}
int CellRow(int code) {
  return code + 2;
}

double NextValue(DeviceRecord* rec) {
  driver.Gconv(rec);
  return rec->millivolts;
}

enum class WaitResult { ScanDue, KeyPressed };

// Wake-ups of the port in a row that brought the driver nothing after which
// its handle is no longer watched.
constexpr int kMostEmptyWakes = 2;
// A port judged gone is asked again this often: a Telnet command that came in
// two reads looks gone for a moment, and costs no more than this.
constexpr int64_t kGoneLookMs = 100;

// Waits for a whole scan or a key, asleep on the keyboard and the port
// together. Once bytes of a scan are in, the port stays readable until the
// whole scan is; the wait then watches the keyboard alone for a scan's time
// on the wire. A converter that stops sending, part-way through a scan, after
// its too-fast byte 0x0A or between scans, would leave the run waiting for
// ever: once the next scan is a scan's deadline late, GetOneScan is left to
// time out and tell why.
//
// The port's handle only says when to ask the driver again: a remote port's
// handle is a socket that wakes for Telnet traffic the driver consumes and
// stays readable for ever once its server has gone. A wake-up that brings
// the driver nothing is such traffic; a second in a row is a port gone, and
// the rest of the wait watches the keyboard, asking the driver again now and
// then.
WaitResult WaitForScan(DeviceRecord* rec) {
  const int64_t wireMs = tovScanWireMs(rec);
  const int64_t stallAt = con::nowMs() + tovScanWaitMs(rec->scanInterval) + wireMs;
  uint32_t seen = 0;
  int emptyWakes = 0;
  for (;;) {
    // A count of -1 is an overflowing input queue: GetOneScan reports it.
    if (driver.GetNumScansInBuffer(rec) != 0) return WaitResult::ScanDue;
    const uint32_t waiting = rec->comStat.cbInQue;  // as the count just refreshed it
    if (waiting != seen) emptyWakes = 0;
    seen = waiting;
    const int64_t now = con::nowMs();
    if (now >= stallAt) return WaitResult::ScanDue;
    con::Wake wake;
    if (waiting > 0) {
      wake = WaitKeyOrPort(TOV_INVALID_HANDLE, std::min(stallAt, now + wireMs));
    } else if (emptyWakes >= kMostEmptyWakes) {
      wake = WaitKeyOrPort(TOV_INVALID_HANDLE, std::min(stallAt, now + kGoneLookMs));
    } else {
      wake = WaitKeyOrPort(program.comHandle, stallAt);
      if (wake == con::Wake::Port) ++emptyWakes;  // undone above when bytes came
    }
    if (wake == con::Wake::Key) return WaitResult::KeyPressed;
  }
}

void DrawScanTable(const DeviceRecord* rec) {
  ClearScreen();
  PrintAt(1, 0, " CC    chan 0      chan 1      chan 2     ");
  Print(" chan 3      chan 4      chan 5\n\n");
  for (int code = 0; code < 16; ++code) Print(" %d\n", code);
  PrintAt(2, kStatusRow, "Wait               Press any key to quit    ");
  Print("Scan interval %10.3lf secs", rec->scanInterval);
}

// Ends the scan's file line. A line the file did not take ends the run: the
// screen must not go on showing scans that are not stored.
bool FileLine(ScanDataFile& file) {
  if (file.endLine()) return true;
  const int error = errno;
  PrintAt(kMessageColumn, kMessageRow, "Data file not written (%s): scanning stopped",
          std::strerror(error));
  Print("\n press any key to continue");
  WaitKey();
  return false;
}

// Shows one collected scan and appends its line. False when the scan's end
// marker is missing or its line could not be stored (after the message and
// its key).
bool ShowScan(DeviceRecord* rec, ScanDataFile& file) {
  if (rec->scanType == 0) {
    const double value = NextValue(rec);
    if (IsTableCell(rec->channel, rec->subChannel)) {
      PrintAt(CellColumn(rec->channel), CellRow(rec->subChannel), "%9.3lf", value);
    }
    file.addValue(value);
    return FileLine(file);
  }
  if (rec->scanType == 2) {
    PrintAt(2, 22, "Offset cal ");
    double value = NextValue(rec);
    Print("   %9.3lf", value);
    file.addValue(value);
    PrintAt(27, 22, "Full scale cal ");
    value = NextValue(rec);
    Print("   %9.3lf", value);
    file.addValue(value);
  }
  for (int channel = 0; channel < 6; ++channel) {
    program.codeFrom = rec->scanTable[channel] / 16;
    program.codeTo = program.codeFrom + program.channelPoints[channel] - 1;
    for (int code = program.codeFrom; code <= program.codeTo; ++code) {
      const double value = NextValue(rec);
      if (IsTableCell(channel, code)) {
        PrintAt(CellColumn(channel), CellRow(code), "%9.3lf", value);
      }
      file.addValue(value);
    }
  }
  if (!FileLine(file)) return false;
  if (tovScanEndMarkerSeen(rec)) {
    driver.RemFromBuffer(rec, 1);
    return true;
  }
  Print("End scan framing failure ");
  WaitKey();
  return false;
}

// The scanning part of a run, from the start command to the first key or bad
// scan.
void ScanUntilStopped(DeviceRecord* rec, ScanDataFile& file) {
  if (rec->scanType == 0) driver.SetChanCode(rec);
  driver.StartScanning(rec);
  DrawScanTable(rec);

  long scanNumber = 0;
  for (;;) {
    if (KeyReady()) return;
    if (WaitForScan(rec) == WaitResult::KeyPressed) return;
    if (driver.GetOneScan(rec) == 0) {
      ShowScanFailure(rec->lastError);
      Print("\n press any key to continue");
      WaitKey();
      return;
    }
    ++scanNumber;
    ScreenUpdate update;  // the scan's number and values in one change of the screen
    PrintAt(2, kStatusRow, "SCAN # %ld", scanNumber);
    if (!ShowScan(rec, file)) return;
  }
}

// StopScanning when the run ends, however it ends: also when a stop request
// unwinds it, after the data file (declared later) has been closed.
class ScanningStopper {
 public:
  explicit ScanningStopper(DeviceRecord* rec) : rec_(rec) {}
  ScanningStopper(const ScanningStopper&) = delete;
  ScanningStopper& operator=(const ScanningStopper&) = delete;
  ~ScanningStopper() { stop(); }
  void stop() {
    if (rec_ != nullptr) driver.StopScanning(rec_);
    rec_ = nullptr;
  }

 private:
  DeviceRecord* rec_;
};

// One run. False when the sign-on failed and the operator goes back to the
// main menu.
bool PerformScanRun(DeviceRecord* rec) {
  if (!SignOnWithMessages(rec)) return false;
  ScanningStopper stopper(rec);
  driver.SysCal(rec);  // a failed calibration does not stop the run
  driver.RemoteAvg(rec);

  ClearScreen();
  CursorOn();
  PrintAt(20, 12, "Enter name for disk file,");
  PrintAt(20, 14, "or just enter for no file ");
  std::string name;
  const FileNameAnswer answer = ReadScanFileName(&name);
  CursorOff();

  ScanDataFile file;
  bool canScan = true;
  if (answer != FileNameAnswer::None) {
    if (answer == FileNameAnswer::TooLong || !file.open(name)) {
      PrintAt(20, kMessageRow, "Could not open/create file\n");
      canScan = false;
    }
  }

  if (canScan) {
    CountScanPoints(rec, program.channelPoints);
    ClearScreen();
    if (!tovScanFitsBuffer(rec)) {
      // The driver takes each scan into its 128-byte scan buffer and refuses
      // a list that does not fit; say so rather than start and fail.
      PrintAt(kMessageColumn, kMessageRow,
              "Too many data points: a scan of %d bytes does not fit the %d-byte buffer",
              tovScanBytes(rec), TOV_SCAN_BUFFER_SIZE);
      Print("\n press any key to continue");
      WaitKey();
    } else {
      ScanUntilStopped(rec, file);
    }
  }

  file.close();
  PrintAt(1, kStatusRow, "                    Wait                 ");
  // The key that stopped the run and any typed after it are discarded; the
  // bound keeps an input that reports keys for ever (its end) from holding
  // the run here.
  for (int discarded = 0; discarded < kMostKeysDiscarded && KeyReady(); ++discarded) WaitKey();
  stopper.stop();
  return true;
}

}  // namespace

void ScanRun(int16_t savedChannel, int16_t savedSubChannel) {
  for (;;) {
    DeviceRecord* rec = program.record();
    if (!PerformScanRun(rec)) return;
    rec->channel = savedChannel;
    rec->subChannel = savedSubChannel;
    if (EditScanConfig() == 0) return;
  }
}

}  // namespace tov
