// Settings commands outside sign-on: filter, A/D mode word, digital outputs
// and inputs, the link checksum, and sleep.
#include "link.h"

extern "C" {

TOVEXPORT uint8_t TOVAPI SetFilter(DeviceRecord* rec) {
  return tov::sendPacket(rec, tov::cmd::kFilter, static_cast<uint8_t>(rec->filter)) ? 1 : 0;
}

// The converter acknowledges 0x84, takes the two mode packets and echoes the
// three mode bytes. The record's mode word is rebuilt before it is sent, so a
// failure after the acknowledgement leaves the new word in the record.
TOVEXPORT int16_t TOVAPI SendADMode(DeviceRecord* rec) {
  if (!tov::sendPacket(rec, tov::cmd::kModeChange, 0)) return 0;
  uint8_t ack = 0;
  if (!tov::readBytesTimed(rec, 1, rec->replyTimeout, &ack) || ack != tov::cmd::kModeChange)
    return 0;

  tov::buildModeWord(rec);
  if (!tov::sendPacket(rec, static_cast<uint8_t>(rec->modeHigh),
                       static_cast<uint8_t>(rec->modeMid)))
    return 0;
  if (!tov::sendPacket(rec, static_cast<uint8_t>(rec->modeLow), 0)) return 0;
  return tov::checkModeEcho(rec, rec->replyTimeout) ? 1 : 0;
}

// The converter reports the sum of every byte it sent since our sum was last
// reset, its 0x87 included. Both reply bytes also enter our sum, so the sums
// agree exactly when our sum equals twice the reported byte.
TOVEXPORT int16_t TOVAPI GetCheckSum(DeviceRecord* rec) {
  if (!tov::sendPacket(rec, tov::cmd::kChecksum, 1)) return 0;
  if (!tov::readBytesTimed(rec, 2, rec->replyTimeout, rec->reply) ||
      rec->reply[0] != tov::cmd::kChecksum) {
    rec->rxChecksum = 0;
    return 0;
  }
  const int16_t expected = static_cast<int16_t>((2 * rec->reply[1]) % 256);
  const bool agree = rec->rxChecksum == expected;
  rec->rxChecksum = 0;
  return agree ? 1 : 0;
}

// The converter confirms sleep with a last byte of 0x80 within half a second.
// Only a new sign-on wakes it.
TOVEXPORT int32_t TOVAPI GotoSleep(DeviceRecord* rec) {
  tov::sendPacket(rec, tov::cmd::kSleep, 0);
  tov::busyWaitMs(500);
  uint8_t last = 0;  // stays 0 when nothing came
  tov::drainInput(rec, &last);
  return last == 0x80 ? 1 : 0;
}

TOVEXPORT int32_t TOVAPI SetDigOut(DeviceRecord* rec, int32_t value) {
  return tov::sendPacket(rec, tov::cmd::kDigitalOut, static_cast<uint8_t>(value & 0xFF)) ? 1 : 0;
}

TOVEXPORT int16_t TOVAPI GetDigIn(DeviceRecord* rec) {
  if (!tov::sendPacket(rec, tov::cmd::kDigitalIn, tov::cmd::kDigitalInQuery)) return 0;
  if (!tov::readBytesTimed(rec, 2, rec->replyTimeout, rec->reply) ||
      rec->reply[0] != tov::cmd::kDigitalIn)
    return 0;
  rec->digitalIn = rec->reply[1];
  return 1;
}

}  // extern "C"
