// What GetOneScan and GetOneScanWithDigin share: taking one scan off the
// converter's stream into the record's scanBuffer, with the overflow test,
// the per-scan deadline and the recovery after a time-out.
#ifndef TOV_DRIVER_SCAN_STREAM_H
#define TOV_DRIVER_SCAN_STREAM_H

#include <cstdint>

#include "tovdrv.h"

namespace tov::scan {

// lastError codes of the scan stream.
constexpr int32_t kStartMarkerError = 1;  // a scan did not begin with 0xF0
constexpr int32_t kShortScanError = 2;    // a scan did not arrive in full in time
constexpr int32_t kOverflowError = 3;     // input queue (or scanBuffer) overflow
constexpr int32_t kRateTooFastError = 10;
// StartScanning refuses a scan list whose scans cannot fit scanBuffer. The
// code lies outside the byte range, so it never reads as an unexpected reply
// byte of a polled conversion.
constexpr int32_t kScanTooLargeError = 256;

constexpr uint8_t kStartMarker = 0xF0;
constexpr uint8_t kRateTooFastByte = 0x0A;

// True when one more scan of B bytes fits behind what scanBuffer already
// holds (and B is a usable size at all: 1 byte or more).
bool scanFits(const DeviceRecord* rec);

// Bytes waiting in the port's input queue; 0 when the port cannot be asked.
uint32_t waitingBytes(DeviceRecord* rec);

// More than inQueueSize - 10 bytes wait (the subtraction is unsigned, as the
// converter's original hosts did it: a queue below 10 bytes never overflows).
bool inputOverflowed(const DeviceRecord* rec, uint32_t waiting);

// The clock reading trunc((scanInterval + 2) * 1000) ms after `fromMs`.
int64_t scanDeadlineMs(const DeviceRecord* rec, int64_t fromMs);

// Appends one byte at scanBufferCount; never writes past scanBuffer.
void appendScanByte(DeviceRecord* rec, uint8_t byte);

// Takes exactly B bytes into scanBuffer, behind what it holds. On failure it
// sets lastError (3 overflow; after a time-out 10 or 2, a 200 ms pause and a
// fresh sign-on) and returns 0; on success it returns B.
int32_t collectScan(DeviceRecord* rec);

}  // namespace tov::scan

#endif
