// Continuous scanning: starting and stopping the converter's scan stream,
// counting what waits in the port, and taking one scan at a time into the
// record's scanBuffer.
//
// Once started, the converter sends one scan per interval on its own:
// 0xF0, the data points (2 or 3 bytes each, least significant first), 0x0F;
// a single-channel scan is one bare data point.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "link.h"
#include "scan_stream.h"

namespace tov::scan {

namespace {

// Pause after the stop command: the converter finishes the scan under way
// and ends its stream with 0x8A within this time.
constexpr int64_t kStopSettleMs = 1500;
// Pause after a scan time-out before signing on again.
constexpr int64_t kRecoveryPauseMs = 200;

// Digital filter settling in whole ms, by the record's filter setting.
int64_t settlingMs(const DeviceRecord* rec) {
  return std::llround(tovFilterSettlingSeconds(rec->filter) * 1000);
}

}  // namespace

bool scanFits(const DeviceRecord* rec) {
  const int32_t held = rec->scanBufferCount;
  const int32_t scanBytes = tovScanBytes(rec);
  return held >= 0 && scanBytes >= 1 && scanBytes <= TOV_SCAN_BUFFER_SIZE - held;
}

uint32_t waitingBytes(DeviceRecord* rec) {
  return refreshComStat(rec) ? rec->comStat.cbInQue : 0;
}

bool inputOverflowed(const DeviceRecord* rec, uint32_t waiting) {
  return waiting > rec->inQueueSize - 10u;
}

int64_t scanDeadlineMs(const DeviceRecord* rec, int64_t fromMs) {
  return fromMs + tovScanWaitMs(rec->scanInterval);
}

void appendScanByte(DeviceRecord* rec, uint8_t byte) {
  const int32_t at = rec->scanBufferCount;
  if (at < 0 || at >= TOV_SCAN_BUFFER_SIZE) return;
  rec->scanBuffer[at] = byte;
  rec->scanBufferCount = at + 1;
}

int32_t collectScan(DeviceRecord* rec) {
  if (inputOverflowed(rec, waitingBytes(rec)) || !scanFits(rec)) {
    rec->lastError = kOverflowError;
    return 0;
  }
  const int32_t scanBytes = tovScanBytes(rec);
  const int64_t deadline = scanDeadlineMs(rec, clockMs());

  // A scan whose last byte was taken before the deadline counts even if the
  // deadline has passed since. scanFits() made room for all of it.
  uint8_t* scan = rec->scanBuffer + rec->scanBufferCount;
  const int32_t collected = readUntil(rec, scan, scanBytes, deadline);
  rec->scanBufferCount += collected;
  if (collected == scanBytes) return scanBytes;

  // The converter sends 0x0A where scan bytes are due when it cannot keep up.
  const bool rateTooFast = collected > 0 && scan[collected - 1] == kRateTooFastByte;
  rec->lastError = rateTooFast ? kRateTooFastError : kShortScanError;
  busyWaitMs(kRecoveryPauseMs);
  SignOn(rec);  // back to a known state; the caller ends the run either way
  return 0;
}

}  // namespace tov::scan

using namespace tov::scan;

extern "C" {

TOVEXPORT int16_t TOVAPI StartScanning(DeviceRecord* rec) {
  rec->digInPending = 0;
  rec->scanBufferCount = 0;
  // A scan list whose scans cannot fit scanBuffer is not started at all.
  if (!scanFits(rec)) {
    rec->lastError = kScanTooLargeError;
    return 0;
  }

  uint8_t command = tov::cmd::kStartNormal;
  if (rec->scanType == 2) {
    command = tov::cmd::kStartSelfCal;
  } else if (rec->scanType == 0) {
    // Select the input, then let the digital filter settle on it before the
    // first conversion of the scan.
    if (!tov::sendPacket(rec, tov::cmd::kSelectChannel, tov::channelCode(rec))) return 0;
    tov::busyWaitMs(2 * settlingMs(rec) + 500);
    tov::busyWaitMs(502);
    command = tov::cmd::kStartSingle;
  }
  if (!tov::sendPacket(rec, command, static_cast<uint8_t>(rec->subChannel))) return 0;

  uint8_t echo = 0;
  if (!tov::readBytesTimed(rec, 1, rec->replyTimeout, &echo)) return 0;
  return echo == command ? 1 : 0;
}

TOVEXPORT uint32_t TOVAPI GetNumBytesInBuffer(DeviceRecord* rec) {
  return waitingBytes(rec);
}

TOVEXPORT int32_t TOVAPI GetNumScansInBuffer(DeviceRecord* rec) {
  // A scan list that cannot fit scanBuffer is reported as an overflow at
  // once, so a caller waiting for scans goes on to GetOneScan, which says so.
  if (!scanFits(rec)) {
    rec->lastError = kOverflowError;
    return -1;
  }
  const uint32_t waiting = waitingBytes(rec);
  if (waiting == 0) return 0;
  if (inputOverflowed(rec, waiting)) {
    rec->lastError = kOverflowError;
    return -1;
  }
  return static_cast<int32_t>(waiting / static_cast<uint32_t>(tovScanBytes(rec)));
}

TOVEXPORT int16_t TOVAPI GetOneScan(DeviceRecord* rec) {
  if (collectScan(rec) == 0) return 0;
  if (rec->scanType == 0) return 1;  // a bare data point: no markers
  if (rec->scanBuffer[0] != kStartMarker) {
    rec->lastError = kStartMarkerError;
    return 0;
  }
  RemFromBuffer(rec, 1);
  return 1;
}

TOVEXPORT int32_t TOVAPI RemFromBuffer(DeviceRecord* rec, int32_t n) {
  // The count arrives as the low 16 bits, signed; a negative one drops nothing.
  const int32_t drop = std::max<int32_t>(static_cast<int16_t>(n & 0xFFFF), 0);
  const int32_t held = std::clamp<int32_t>(rec->scanBufferCount, 0, TOV_SCAN_BUFFER_SIZE);
  if (drop >= held) {
    rec->scanBufferCount = 0;
    return held;
  }
  std::memmove(rec->scanBuffer, rec->scanBuffer + drop, static_cast<size_t>(held - drop));
  rec->scanBufferCount = held - drop;
  return rec->scanBufferCount;
}

TOVEXPORT int16_t TOVAPI StopScanning(DeviceRecord* rec) {
  if (!tov::sendPacket(rec, tov::cmd::kStop, 0)) return 0;
  tov::busyWaitMs(kStopSettleMs);

  // The stream is over when its last byte is the stop command's 0x8A.
  uint8_t lastByte = 0;
  tov::drainInput(rec, &lastByte);
  if (lastByte != tov::cmd::kStop) return 0;

  rec->scanBufferCount = 0;
  return tov::sendPacket(rec, tov::cmd::kSelectChannel, tov::channelCode(rec)) ? 1 : 0;
}

}  // extern "C"
