/* Prints the layout of DeviceRecord as the C compiler lays it out, one line
 * per field: "name offset size kind", kind being i (signed integer),
 * u (unsigned integer), f (floating point) or - (array or structure), then
 * "sizeof size". The Python binding's test compares its ctypes record with it. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tovdrv.h"

static DeviceRecord r;

#define KIND(f)            \
  _Generic(r.f, int8_t     \
           : 'i', int16_t  \
           : 'i', int32_t  \
           : 'i', int64_t  \
           : 'i', uint8_t  \
           : 'u', uint16_t \
           : 'u', uint32_t \
           : 'u', uint64_t \
           : 'u', float    \
           : 'f', double   \
           : 'f')
#define SCALAR(f) printf("%s %zu %zu %c\n", #f, offsetof(DeviceRecord, f), sizeof r.f, KIND(f))
#define BLOCK(f) printf("%s %zu %zu -\n", #f, offsetof(DeviceRecord, f), sizeof r.f)

int main(void) {
  SCALAR(deviceIndex);
  SCALAR(scanInterval);
  SCALAR(pointsPerScan);
  SCALAR(scanType);
  BLOCK(scanTable);
  SCALAR(singleChanCode);
  SCALAR(digitalIn);
  SCALAR(firmwareVersion);
  SCALAR(channel);
  SCALAR(subChannel);
  SCALAR(counts);
  SCALAR(millivolts);
  SCALAR(digitalOut);
  SCALAR(bytesPerConversion);
  SCALAR(bipolar);
  SCALAR(lastError);
  SCALAR(filter);
  SCALAR(gain);
  SCALAR(sampleRate);
  SCALAR(modeLow);
  SCALAR(modeMid);
  SCALAR(modeHigh);
  SCALAR(baudIndex);
  SCALAR(asleep);
  SCALAR(standby);
  SCALAR(counterPreset);
  SCALAR(remoteAvg);
  SCALAR(outQueueSize);
  SCALAR(inQueueSize);
  BLOCK(scanBuffer);
  BLOCK(reply);
  SCALAR(rxChecksum);
  SCALAR(lastRxByte);
  SCALAR(replyTimeout);
  BLOCK(comStat);
  SCALAR(comStat.flags);
  SCALAR(comStat.cbInQue);
  SCALAR(comStat.cbOutQue);
  SCALAR(reopenPending);
  BLOCK(dcb);
  SCALAR(dcb.DCBlength);
  SCALAR(dcb.BaudRate);
  SCALAR(dcb.fDtrControl);
  SCALAR(dcb.fRtsControl);
  SCALAR(dcb.ByteSize);
  SCALAR(dcb.Parity);
  SCALAR(dcb.StopBits);
  SCALAR(dcb.reserved);
  SCALAR(scanBufferCount);
  SCALAR(digInPending);
  printf("sizeof %zu\n", sizeof(DeviceRecord));
  return 0;
}
