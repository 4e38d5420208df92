// Polled conversions, channel selection, remote averaging and the conversion
// of raw counts to millivolts.
#include <algorithm>
#include <cstring>

#include "link.h"

namespace {

// Bytes in one conversion word: 3 for 24-bit words, otherwise 2. Every read and
// every buffer step is bounded by this, whatever the record holds.
int wordBytes(const DeviceRecord* rec) {
  return tovWordBytes(rec->bytesPerConversion);
}

// The decimal factor the converter's firmware documents for 24-bit counts.
constexpr double kMillivoltsPerCount = 0.0002980232;

}  // namespace

extern "C" {

TOVEXPORT int16_t TOVAPI GetConversion(DeviceRecord* rec) {
  uint8_t stale = 0;
  tov::drainInput(rec, &stale);  // stale bytes still count in rxChecksum
  if (!tov::sendPacket(rec, tov::cmd::kConversion, 0)) return 0;

  uint8_t echo = 0;
  if (!tov::readBytesTimed(rec, 1, rec->replyTimeout, &echo)) {
    rec->lastError = 1;
    return 0;
  }
  if (echo != tov::cmd::kConversion) {
    rec->lastError = echo;
    return 0;
  }
  const int width = wordBytes(rec);
  if (!tov::readBytesTimed(rec, width, rec->replyTimeout, rec->reply)) {
    rec->lastError = 1;
    return 0;
  }
  int32_t counts = rec->reply[0] + rec->reply[1] * 256;
  if (width == 3) counts += rec->reply[2] * 65536;
  rec->counts = counts;
  rec->millivolts = Counts2Volts(rec);
  return 1;
}

TOVEXPORT int32_t TOVAPI SetChanCode(DeviceRecord* rec) {
  return tov::sendPacket(rec, tov::cmd::kSelectChannel, tov::channelCode(rec)) ? 1 : 0;
}

TOVEXPORT int32_t TOVAPI RemoteAvg(DeviceRecord* rec) {
  rec->replyTimeout = tov::replyTimeoutFor(rec);
  // The converter takes the averaging count as a power of two.
  uint8_t exponent = 0;
  for (uint32_t n = rec->remoteAvg; n > 1; n >>= 1) ++exponent;
  return tov::sendPacket(rec, tov::cmd::kAveraging, exponent) ? 1 : 0;
}

TOVEXPORT double TOVAPI Counts2Volts(DeviceRecord* rec) {
  double value = rec->counts * kMillivoltsPerCount;
  if (rec->bytesPerConversion == 2) value *= 256;
  if (rec->bipolar) value = 2 * value - 5000;  // offset binary: mid-scale is 0 mV
  return value;
}

// Takes one conversion off the front of scanBuffer. Only bytes the buffer holds
// are decoded: when fewer than a whole word are held, the missing high bytes
// count as zero and the buffer ends empty, as RemFromBuffer would leave it.
TOVEXPORT void TOVAPI Gconv(DeviceRecord* rec) {
  const int width = wordBytes(rec);
  const int held = std::clamp<int32_t>(rec->scanBufferCount, 0, TOV_SCAN_BUFFER_SIZE);
  int32_t counts = 0;
  for (int i = std::min(width, held) - 1; i >= 0; --i) counts = counts * 256 + rec->scanBuffer[i];
  rec->counts = counts;

  if (held <= width) {
    rec->scanBufferCount = 0;
  } else {
    std::memmove(rec->scanBuffer, rec->scanBuffer + width, held - width);
    rec->scanBufferCount = held - width;
  }
  rec->millivolts = Counts2Volts(rec);
}

}  // extern "C"
