/* Model K73 scan arithmetic shared by the driver and its clients: the size of
 * one scan in the converter's stream, how many points fit the driver's
 * scan buffer, the conversion word width, the digital filter's settling
 * time and the per-scan deadline.
 *
 * Pure inline functions of record fields: no driver state, no exports.
 * Usable from C and C++. */
#ifndef TOVSCAN_H
#define TOVSCAN_H

#include <stdint.h>

#include "tovdrv.h"

/* Bytes in one conversion word as the converter sends it: 3 when
 * bytesPerConversion is 3 (24-bit words), otherwise 2 (16-bit words). */
static inline int tovWordBytes(int bytesPerConversion) {
  return bytesPerConversion == 3 ? 3 : 2;
}

/* Bytes of one scan of `points` data points of `wordBytes` bytes each.
 * A single-channel scan (scanType 0) is one bare data point; the others are
 * framed by the start marker 0xF0 and the end marker 0x0F, and a
 * self-calibrating scan (scanType 2) carries its offset and full-scale
 * points ahead of the data. */
static inline int32_t tovScanBytesFor(int scanType, int32_t points, int32_t wordBytes) {
  if (scanType == 0) return wordBytes;
  if (scanType == 2) return (points + 2) * wordBytes + 2;
  return points * wordBytes + 2;
}

/* Bytes of one scan of the record's scan list, with bytesPerConversion taken
 * as the record holds it. */
static inline int32_t tovScanBytes(const DeviceRecord* rec) {
  return tovScanBytesFor(rec->scanType, rec->pointsPerScan, rec->bytesPerConversion);
}

/* True when one scan of the record's list fits the driver's scan buffer;
 * StartScanning refuses a list for which this is false. */
static inline int tovScanFitsBuffer(const DeviceRecord* rec) {
  const int32_t bytes = tovScanBytes(rec);
  return bytes >= 1 && bytes <= TOV_SCAN_BUFFER_SIZE;
}

/* The most data points of `wordBits` bits (16 or 24) that one scan of
 * `scanType` can carry in the driver's 128-byte scan buffer: 63 or 42 for
 * a normal scan, 61 or 40 for a self-calibrating one, 1 for a single
 * channel. */
static inline int32_t tovScanPointsThatFit(int scanType, int wordBits) {
  const int32_t wordBytes = (wordBits + 7) / 8;
  int32_t points;
  if (wordBytes <= 0 || wordBytes > TOV_SCAN_BUFFER_SIZE) return 0;
  if (scanType == 0) return 1;
  points = (TOV_SCAN_BUFFER_SIZE - 2) / wordBytes - (scanType == 2 ? 2 : 0);
  return points > 0 ? points : 0;
}

/* Seconds the converter's digital filter takes to settle after its input is
 * switched, by the record's filter setting (0 = 4 Hz, 1 = 40 Hz, other =
 * 400 Hz). */
static inline double tovFilterSettlingSeconds(int filter) {
  if (filter == 0) return 4.5;
  if (filter == 1) return 0.56;
  return 0.036;
}

/* The whole milliseconds the driver waits for one scan: the scan interval
 * plus two seconds, cut toward zero and held within a year either way so
 * that a wild interval (or NaN, taken as the longest) stays finite. */
static inline int64_t tovScanWaitMs(double scanInterval) {
  const double longestMs = 365.0 * 24 * 3600 * 1000;
  const double ms = (scanInterval + 2) * 1000;
  if (!(ms <= longestMs)) return (int64_t)longestMs;
  if (ms < -longestMs) return -(int64_t)longestMs;
  return (int64_t)ms; /* the conversion cuts toward zero */
}

/* What a failed GetOneScan means, by the lastError it left: null for a code
 * it never leaves. */
static inline const char* tovScanFailureText(int32_t lastError) {
  switch (lastError) {
    case 1:
      return "Start scan framing failure";
    case 2:
      return "not enough chars, possible communications error";
    case 3:
      return "buffer overflow";
    case 10:
      return "scan rate too fast for this scan type";
    default:
      return 0;
  }
}

#endif /* TOVSCAN_H */
