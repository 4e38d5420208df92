/* Model K73 rules shared by the driver and its clients: the line rates, the
 * size of one scan in the converter's stream and its time on the wire, how
 * many points fit the driver's scan buffer, the end marker, the conversion
 * word width, the averaging counts the sign-on can carry, the digital
 * filter's settling time, the per-scan deadline and the interval the
 * converter's timer keeps after a sign-on.
 *
 * Pure inline functions of record fields: no driver state, no exports.
 * Usable from C and C++. */
#ifndef TOVSCAN_H
#define TOVSCAN_H

#include <stdint.h>

#include "tovdrv.h"

/* The converter's line rates by baudIndex; 0 for an index it has no rate
 * for. */
static inline int32_t tovBaudRate(int baudIndex) {
  return baudIndex >= 0 && baudIndex <= 5 ? 9600 >> baudIndex : 0;
}

/* The end of every scan but a single-channel one: what the driver's scan
 * buffer holds next once all its points are taken off. */
#define TOV_SCAN_END_MARKER 0x0F

/* True when the scan buffer, its points taken off, starts with the end
 * marker. */
static inline int tovScanEndMarkerSeen(const DeviceRecord* rec) {
  return rec->scanBufferCount > 0 && rec->scanBuffer[0] == TOV_SCAN_END_MARKER;
}

/* True for an averaging count a client may offer: a power of two from 1 to
 * 128. The sign-on sends the low byte of remoteAvg, so 256 and above would
 * reach the converter as something else. */
static inline int tovAveragingOffered(uint32_t remoteAvg) {
  return remoteAvg >= 1 && remoteAvg <= 128 && (remoteAvg & (remoteAvg - 1)) == 0;
}

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

/* Whole milliseconds, rounded up, that `bytes` bytes take on the line at
 * the record's rate, ten bit times a byte (at 300 baud for an index with no
 * rate: the longest). */
static inline int64_t tovWireMs(int64_t bytes, int baudIndex) {
  const int64_t baud = tovBaudRate(baudIndex) > 0 ? tovBaudRate(baudIndex) : 300;
  return (bytes * 10000 + baud - 1) / baud;
}

/* One scan's time on the wire, at least a millisecond. */
static inline int64_t tovScanWireMs(const DeviceRecord* rec) {
  const int64_t ms = tovWireMs(tovScanBytes(rec), rec->baudIndex);
  return ms < 1 ? 1 : ms;
}

/* The time on the wire of the rest of a scan of which `bytesIn` bytes have
 * arrived: at least one byte's. */
static inline int64_t tovScanRestMs(const DeviceRecord* rec, int64_t bytesIn) {
  const int64_t rest = tovScanBytes(rec) - bytesIn;
  return tovWireMs(rest > 1 ? rest : 1, rec->baudIndex);
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

/* The scan timer's count the sign-on sends for the record's scanInterval,
 * as the converter assembles it from the three bytes: ticks less one, on
 * the time base counterPreset selects (4882.8125 Hz when 0 or more, else
 * 3906.25 Hz, divided by 2^baudIndex). */
static inline uint32_t tovTimerCount(const DeviceRecord* rec) {
  const double base = rec->counterPreset >= 0 ? 4882.8125 : 3906.25;
  const int shift = rec->baudIndex >= 0 && rec->baudIndex <= 5 ? rec->baudIndex : 0;
  double x = base / (double)(1 << shift) * (rec->scanInterval + 0.00005) - 1;
  int64_t high, mid, low;
  if (!(x > -1e12)) x = x != x ? 0 : -1e12;
  if (x > 1e12) x = 1e12;
  high = (int64_t)(x / 65536);
  mid = (int64_t)((x - (double)high * 65536.0) / 256);
  low = (int64_t)(x - (double)high * 65536.0 - (double)mid * 256.0);
  return (uint32_t)(high & 0xFF) << 16 | (uint32_t)(mid & 0xFF) << 8 | (uint32_t)(low & 0xFF);
}

/* Ticks a second of the converter's scan timer once signed on. It runs from
 * 3906.25 Hz divided by 2^baudIndex, except on firmware above 100 whose
 * counter 0 the sign-on loaded with a preset: 4882.8125 Hz then. A
 * counterPreset of -1 (the programs' "none") loads 0x00FF, which the
 * firmware takes as no preset, and so does 255. */
static inline double tovTimerTicksPerSecond(const DeviceRecord* rec) {
  const int shift = rec->baudIndex >= 0 && rec->baudIndex <= 5 ? rec->baudIndex : 0;
  const int32_t high = rec->counterPreset / 256;
  const int32_t counter0 = (high & 0xFF) << 8 | ((rec->counterPreset - high * 256) & 0xFF);
  const int preset = rec->firmwareVersion > 100 && counter0 != 0xFF;
  return (preset ? 4882.8125 : 3906.25) / (double)(1 << shift);
}

/* Seconds between scans as the converter's timer keeps them after a
 * sign-on with the record as it is (firmwareVersion as GetVer read it). Not
 * always the scanInterval CheckScanTime snapped to: the sign-on counts on
 * the time base counterPreset selects, the timer runs on the one firmware
 * and preset select. */
static inline double tovTimerInterval(const DeviceRecord* rec) {
  return ((double)tovTimerCount(rec) + 1) / tovTimerTicksPerSecond(rec);
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
