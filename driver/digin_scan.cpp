// Scanning with the digital inputs read on the way.
//
// During a scan run the converter answers the digital-input query (0x80, 0x4C)
// by putting 0x80 and its input byte directly in front of the next scan's
// start marker. Collecting one scan's worth of bytes then leaves the scan's
// last two bytes in the port; they are fetched before the scan is handed over.
// At most one query is outstanding: each answer sends the next one.
#include <cstdio>

#include "link.h"
#include "link_platform.h"
#include "scan_stream.h"

namespace {

using namespace tov::scan;

constexpr int kAnswerBytes = 2;  // 0x80 and the input byte, ahead of the scan

// The scan's last two bytes, which the answer in front of it pushed back into
// the port. True when both arrived before the deadline.
bool collectScanTail(DeviceRecord* rec) {
  const int64_t deadline = scanDeadlineMs(rec, tov::clockMs());
  const TovHandle port = tov::portSlot(rec);
  int collected = 0;
  for (;;) {
    if (tov::clockMs() >= deadline) return false;
    if (collected == kAnswerBytes) return true;
    uint8_t byte = 0;
    if (tov::readByte(rec, &byte)) {
      appendScanByte(rec, byte);
      ++collected;
    } else {
      tov::platform::waitForInput(port, deadline);
    }
  }
}

uint8_t plainScan(DeviceRecord* rec, uint8_t requestDigIn) {
  if (requestDigIn && !rec->digInPending) {
    if (!tov::sendPacket(rec, tov::cmd::kDigitalIn, tov::cmd::kDigitalInQuery)) return 0;
    rec->digInPending = 1;
  }
  const uint8_t* b = rec->scanBuffer;
  tov::debugPrintf(
      "GetOneScanWithDigin()-> 8 bytes:  (%02X, %02X, %02X, %02X, %02X, %02X, %02X, %02X)\r\n",
      b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
  RemFromBuffer(rec, 1);
  return 1;
}

uint8_t scanAfterAnswer(DeviceRecord* rec, uint8_t* digInFresh, uint8_t requestDigIn,
                        int32_t collected) {
  const uint8_t* b = rec->scanBuffer;
  // Each line goes to the log in one write, so that a thread scanning another
  // converter cannot put its own line inside it.
  if (b[2] != kStartMarker) {
    if (tov::debugLog) {
      char text[64 + 4 * TOV_SCAN_BUFFER_SIZE];
      size_t n = static_cast<size_t>(std::snprintf(
          text, sizeof text, "\r\nGetOneScanWithDigin()-> %d error bytes: (", collected));
      for (int32_t i = 0; i < collected && n < sizeof text; ++i)
        n += static_cast<size_t>(std::snprintf(text + n, sizeof text - n, "%X, ", b[i]));
      tov::debugPrintf("%s", text);
    }
    rec->lastError = kStartMarkerError;
    return 0;
  }
  rec->digitalIn = b[1];
  if (digInFresh) *digInFresh = 1;
  // The answer's part of the line waits for the scan's part.
  char answer[64];
  std::snprintf(answer, sizeof answer, "GetOneScanWithDigin()-> first 3:  (%02X, %02X, %02X)  ",
                b[0], b[1], b[2]);
  RemFromBuffer(rec, 3);

  if (!collectScanTail(rec)) {
    tov::debugPrintf("%s", answer);
    rec->lastError = kStartMarkerError;
    return 0;
  }
  tov::debugPrintf(
      "%sGetOneScanWithDigin()-> next 7:  (%02X, %02X, %02X, %02X, %02X, %02X, %02X)\r\n", answer,
      b[0], b[1], b[2], b[3], b[4], b[5], b[6]);
  // Keep one query on its way while the caller wants the inputs.
  if (requestDigIn && !tov::sendPacket(rec, tov::cmd::kDigitalIn, tov::cmd::kDigitalInQuery))
    return 0;
  return 1;
}

}  // namespace

extern "C" TOVEXPORT uint8_t TOVAPI GetOneScanWithDigin(DeviceRecord* rec, uint8_t* digInFresh,
                                                        uint8_t requestDigIn) {
  const int32_t collected = collectScan(rec);
  if (collected == 0) return 0;
  if (rec->scanType == 0) return 1;

  switch (rec->scanBuffer[0]) {
    case kStartMarker:
      return plainScan(rec, requestDigIn);
    case tov::cmd::kDigitalIn:
      return scanAfterAnswer(rec, digInFresh, requestDigIn, collected);
    default:
      rec->lastError = kStartMarkerError;
      return 0;
  }
}
