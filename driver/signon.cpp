// Bringing a converter on line and off line: the 300-baud wake-up handshake,
// the switch to the working rate, the configuration download, the version,
// and the timer counters of newer firmware.

#include "link.h"

namespace tov {

uint8_t programCounter(DeviceRecord* rec, int n, int32_t count);

namespace {

constexpr uint32_t kHandshakeBaud = 300;
constexpr uint32_t kHandshakeWriteTimeoutMs = 1000;
constexpr int kSignOnAttempts = 4;
constexpr int kHandshakeTries = 10;
constexpr int64_t kHandshakeReplyTicks = 10;
constexpr int32_t kQuietMs = 1000;
constexpr uint8_t kWakeUp = 0x00;
constexpr uint8_t kWakeUpAnswer = 0x03;
constexpr uint8_t kQuietCheck = 0x88;

enum class Attempt { OnLine, Restart, Fail, FailPortOpen };

uint8_t lowByte(int64_t v) {
  return static_cast<uint8_t>(v & 0xFF);
}

// Sends 0x00 up to ten times, each time listening ten ticks for 0x03 among
// whatever else the converter says while it wakes up.
bool handshake(DeviceRecord* rec) {
  for (int attempt = 0; attempt < kHandshakeTries; ++attempt) {
    writeByte(rec, kWakeUp);
    // Until the tick count reaches its mark: until the first millisecond of that tick.
    const int64_t untilMs = firstMsOfTick(tickCount() + kHandshakeReplyTicks);
    uint8_t byte = 0;
    while (readUntil(rec, &byte, 1, untilMs) == 1) {
      if (byte == kWakeUpAnswer) return true;
    }
  }
  return false;
}

// True when anything at all arrives within the quiet period.
bool heardWithin(DeviceRecord* rec, int32_t ms) {
  uint8_t byte = 0;
  return readBytesTimed(rec, 1, ms, &byte);
}

// The scan timer's interval count (tovTimerCount: the timer's clock divided
// down by the line rate's prescaler, times the interval, less one), then the
// scan table.
bool sendIntervalAndTable(DeviceRecord* rec) {
  const uint32_t count = tovTimerCount(rec);
  const int16_t* t = rec->scanTable;
  return sendPacket(rec, lowByte(count), lowByte(count >> 8)) &&
         sendPacket(rec, lowByte(count >> 16), lowByte(t[0])) &&
         sendPacket(rec, lowByte(t[1]), lowByte(t[2])) &&
         sendPacket(rec, lowByte(t[3]), lowByte(t[4])) && sendPacket(rec, lowByte(t[5]), 0);
}

Attempt signOnAttempt(DeviceRecord* rec) {
  if (portIsOpen(rec)) closePort(rec);
  if (!openPort(rec, kHandshakeBaud, kHandshakeWriteTimeoutMs)) return Attempt::Fail;

  if (!handshake(rec)) return Attempt::Fail;

  // A converter that is really awake stays silent now, and after 0x88.
  waitTicks(5);
  if (heardWithin(rec, kQuietMs)) return Attempt::Restart;
  rec->rxChecksum = 0;
  writeByte(rec, kQuietCheck);
  if (heardWithin(rec, kQuietMs)) return Attempt::Restart;

  // Tell it the working rate; it echoes the index, then switches.
  waitTicks(2);
  writeByte(rec, lowByte(rec->baudIndex));
  waitTicks(2);
  uint8_t echo = 0;
  if (!readBytesTimed(rec, 1, kQuietMs, &echo)) return Attempt::Fail;
  if (echo != rec->baudIndex) return Attempt::Restart;

  if (!reopenPort(rec, static_cast<uint32_t>(tovBaudRate(rec->baudIndex)), 0)) return Attempt::Fail;
  waitTicks(5);
  writeByte(rec, kWakeUp);

  // Mode word, then averaging and filter; the converter echoes the mode word.
  buildModeWord(rec);
  if (!sendPacket(rec, lowByte(rec->modeHigh), lowByte(rec->modeMid)) ||
      !sendPacket(rec, lowByte(rec->modeLow), 0) ||
      !sendPacket(rec, lowByte(rec->remoteAvg), lowByte(rec->filter)) || !sendPacket(rec, 0, 0)) {
    return Attempt::FailPortOpen;
  }
  if (!checkModeEcho(rec, kQuietMs)) return Attempt::Restart;

  if (!sendIntervalAndTable(rec)) return Attempt::FailPortOpen;

  waitTicks(4);
  uint8_t discarded = 0;
  drainInput(rec, &discarded);
  rec->scanBufferCount = 0;

  if (!GetVer(rec)) return Attempt::Restart;
  if (rec->firmwareVersion > 100) {
    programCounter(rec, 0, rec->counterPreset);
    programCounter(rec, 1, rec->counterPreset);
    programCounter(rec, 2, 1);
  }
  return Attempt::OnLine;
}

}  // namespace

// Counter n of the converter's interval timer: select the control register,
// write the control word, then the count low byte first.
uint8_t programCounter(DeviceRecord* rec, int n, int32_t count) {
  sendPacket(rec, cmd::kSelectChannel, static_cast<uint8_t>(channelCode(rec) | 0x87));
  // Counter n, low byte then high byte, binary; mode 2 (rate generator) for
  // counter 0, mode 1 (one-shot) for counters 1 and 2.
  sendPacket(rec, cmd::kCounterByte, static_cast<uint8_t>(n * 64 + 0x30 + (n == 0 ? 4 : 2)));
  return WriteCntr(rec, n, count);
}

}  // namespace tov

using namespace tov;

int16_t TOVAPI SignOn(DeviceRecord* rec) {
  rec->reopenPending = 0;
  if (rec->deviceIndex < 0 || rec->deviceIndex >= TOV_PORT_SLOTS) return 0;
  // An index with no line rate cannot be switched to.
  if (tovBaudRate(rec->baudIndex) == 0) return 0;

  for (int attempt = 1;; ++attempt) {
    if (rec->reopenPending) {
      closePort(rec);
      rec->reopenPending = 0;
    }
    if (attempt > kSignOnAttempts) break;
    switch (signOnAttempt(rec)) {
      case Attempt::OnLine:
        return 1;
      case Attempt::FailPortOpen:
        return 0;
      case Attempt::Restart:
        rec->reopenPending = 1;
        continue;
      case Attempt::Fail:
        break;
    }
    break;
  }
  closePort(rec);
  return 0;
}

int16_t TOVAPI CloseDevice(DeviceRecord* rec) {
  if (portIsOpen(rec)) {
    // Stop any scan and leave the line idle; whatever it still sends is purged.
    sendPacket(rec, cmd::kStop, 0);
    writeByte(rec, 0x00);
    purgePort(rec);
    closePort(rec);
  }
  return 1;
}

int16_t TOVAPI GetVer(DeviceRecord* rec) {
  if (!sendPacket(rec, cmd::kVersion, 0)) return 0;
  if (!readBytesTimed(rec, 2, rec->replyTimeout, rec->reply)) return 0;
  if (rec->reply[0] != cmd::kVersion) return 0;
  rec->firmwareVersion = rec->reply[1];
  return 1;
}

uint8_t TOVAPI DLL_SendPacket(DeviceRecord* rec, int32_t command, int32_t data) {
  return sendPacket(rec, static_cast<uint8_t>(command), static_cast<uint8_t>(data)) ? 1 : 0;
}

uint8_t TOVAPI WriteCntr(DeviceRecord* rec, int32_t counter, int32_t count) {
  const int32_t high = count / 256;
  const int32_t low = count - high * 256;
  sendPacket(rec, cmd::kSelectChannel, static_cast<uint8_t>(channelCode(rec) | counter | 0x84));
  sendPacket(rec, cmd::kCounterByte, static_cast<uint8_t>(low));
  return sendPacket(rec, cmd::kCounterByte, static_cast<uint8_t>(high)) ? 1 : 0;
}
