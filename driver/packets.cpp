// The three-byte command packet, the A/D mode word and the values derived
// from the record that several commands share.
#include <cmath>
#include <cstdint>

#include "link.h"

namespace tov {

namespace {

constexpr int64_t kOutputQueueWaitMs = 5000;
constexpr uint32_t kPacketBytes = 3;
constexpr double kModulatorHz = 19531.25;  // conversion rate = this / filter code
constexpr double kFastestRateHz = 1027.0;
constexpr int32_t kFilterCodeMax = 0x7FF;  // the divider has 11 bits

// The 11-bit filter code for a requested rate. A rate the divider cannot
// reach is held at its nearest end so the divider is never zero.
int32_t filterCodeFor(float sampleRate) {
  const double code = kModulatorHz / static_cast<double>(sampleRate);
  if (!(code >= 1.0)) return sampleRate > 0 ? 1 : kFilterCodeMax;  // too fast, zero, NaN
  if (code >= kFilterCodeMax) return kFilterCodeMax;
  return static_cast<int32_t>(code);
}

}  // namespace

bool sendPacket(DeviceRecord* rec, uint8_t command, uint8_t data) {
  // Leave room for the whole packet in the port's output queue.
  waitForOutputRoom(rec, kPacketBytes, clockMs() + kOutputQueueWaitMs);
  if (!writeByte(rec, command)) return false;
  if (!writeByte(rec, data)) return false;
  return writeByte(rec, static_cast<uint8_t>(command + data));
}

bool checkModeEcho(DeviceRecord* rec, int32_t timeoutMs) {
  if (!readBytesTimed(rec, 3, timeoutMs, rec->reply)) return false;
  // The converter may set bits 5 to 7 of the high byte; only the low five count.
  return (rec->reply[0] & 0x1F) == (rec->modeHigh & 0x1F) &&
         rec->reply[1] == (rec->modeMid & 0xFF) && rec->reply[2] == (rec->modeLow & 0xFF);
}

int32_t replyTimeoutFor(const DeviceRecord* rec) {
  // Whole seconds: the averaged conversion time plus two, a little more at slow rates.
  const double seconds = rec->remoteAvg / rec->sampleRate + 0.1 * rec->baudIndex + 2.0;
  if (!(seconds < INT32_MAX / 1000)) return INT32_MAX / 1000 * 1000;
  return static_cast<int32_t>(seconds) * 1000;
}

void buildModeWord(DeviceRecord* rec) {
  const int32_t code = filterCodeFor(rec->sampleRate);
  rec->modeLow = static_cast<int16_t>(code & 0xFF);
  rec->modeMid = static_cast<int16_t>((code >> 8) & 7);

  double rate = kModulatorHz / (code & kFilterCodeMax);
  if (rate > kFastestRateHz) rate = kFastestRateHz;
  rec->sampleRate = static_cast<float>(rate);
  rec->replyTimeout = replyTimeoutFor(rec);

  // Gain 2^n is code n; a gain between powers of two takes the next one up.
  int16_t gainCode = 0;
  for (double g = rec->gain; g > 1.0; g /= 2.0) ++gainCode;
  rec->modeHigh = static_cast<int16_t>(rec->standby + 4 * gainCode);

  if (tovWordBytes(rec->bytesPerConversion) == 3) rec->modeMid |= 0x80;
  if (rec->bipolar == 0) rec->modeMid |= 0x10;
}

}  // namespace tov
