// Scanning with the digital inputs read on the way.
//
// During a scan run the converter answers the digital-input query (0x80, 0x4C)
// by putting 0x80 and its input byte directly in front of the next scan's
// start marker. Collecting one scan's worth of bytes then leaves the scan's
// last two bytes in the port; they are fetched before the scan is handed over.
// At most one query is outstanding: each answer sends the next one.
#include <cstdio>

#include "link.h"
#include "scan_stream.h"

namespace {

using namespace tov::scan;

constexpr int kAnswerBytes = 2;  // 0x80 and the input byte, ahead of the scan

// The scan's last two bytes, which the answer in front of it pushed back into
// the port. True when both arrived and the scan's deadline has not passed
// even once the second is in.
bool collectScanTail(DeviceRecord* rec) {
  const int64_t deadline = scanDeadlineMs(rec, tov::clockMs());
  uint8_t tail[kAnswerBytes] = {};
  int taken = 0;
  const bool inTime = tov::readAllWithTimeLeft(rec, tail, kAnswerBytes, deadline, &taken);
  // Whatever came is kept, as the scan's bytes always are.
  for (int i = 0; i < taken; ++i) appendScanByte(rec, tail[i]);
  return inTime;
}

// The bytes of a scan that began neither with 0xF0 nor with an answer, in
// one write.
void logErrorBytes(const uint8_t* bytes, int32_t count) {
  char hex[TOV_SCAN_BUFFER_SIZE * 4 + 1] = "";
  int used = 0;
  for (int32_t i = 0; i < count && i < TOV_SCAN_BUFFER_SIZE; ++i)
    used += std::snprintf(hex + used, sizeof hex - static_cast<size_t>(used), "%X, ", bytes[i]);
  tov::debugPrintf("\r\nGetOneScanWithDigin()-> %d error bytes: (%s", count, hex);
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
  if (b[2] != kStartMarker) {
    if (tov::debugLog) logErrorBytes(b, collected);
    rec->lastError = kStartMarkerError;
    return 0;
  }
  rec->digitalIn = b[1];
  if (digInFresh) *digInFresh = 1;
  // The log line is written whole once the scan's tail is in (or has failed
  // to come), so that it stays one write.
  char first3[64];
  std::snprintf(first3, sizeof first3, "GetOneScanWithDigin()-> first 3:  (%02X, %02X, %02X)  ",
                b[0], b[1], b[2]);
  RemFromBuffer(rec, 3);

  if (!collectScanTail(rec)) {
    tov::debugPrintf("%s", first3);
    rec->lastError = kStartMarkerError;
    return 0;
  }
  tov::debugPrintf(
      "%sGetOneScanWithDigin()-> next 7:  (%02X, %02X, %02X, %02X, %02X, %02X, %02X)\r\n", first3,
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
