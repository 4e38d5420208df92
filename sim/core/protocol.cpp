// What the converter does with each byte the host sends: the sign-on
// sequence, and the framing of command packets and of the configuration and
// mode words they carry (commands.cpp acts on the commands).
#include <algorithm>

#include "converter_impl.h"

namespace k73 {

void Converter::Impl::hostOpened(int64_t tUs, uint32_t hostBaud) {
  // A host that opens its port at 300 baud is starting a sign-on, unless it
  // is reopening at the working rate of index 5 right after the switch.
  if (hostBaud != kSignOnBaud || (phase == Phase::WaitWake && baud == kSignOnBaud)) return;
  event(tUs, kEventHostOpened);
  if (phase == Phase::Asleep) return;  // only the wake-up byte itself rouses it
  scan.stop();
  out.dropScanBytesNotStartedBy(tUs);
  phase = Phase::Idle;
  baud = kSignOnBaud;
  pktLen = 0;
}

bool Converter::Impl::wakeUpAllowed(int64_t tUs) const {
  if (baud != kSignOnBaud) return true;  // a 0x00 at 300 baud cannot be working traffic
  switch (phase) {
    case Phase::Idle:
    case Phase::WaitSleepByte:
    case Phase::Asleep:
      return true;
    case Phase::Online:
      // No command is 0x00, so one at a packet boundary is a wake-up.
      return pktLen == 0 || tUs - lastHostUs > kPacketGapUs;
    default:
      return tUs - lastHostUs > kQuietRestartUs;
  }
}

void Converter::Impl::wakeUp(int64_t tUs) {
  log({tUs, 0x00, 0, true, PacketKind::Handshake, kHandshakeWakeUp});
  if (model.misbehave.noHandshake) return;
  scan.stop();
  out.dropScanBytesNotStartedBy(tUs);
  pendingDigin = 0;
  phase = Phase::WaitSleepByte;
  baud = kSignOnBaud;
  pktLen = 0;
  bytesQueued = 0;
  send(0x03, tUs + kProcessingUs);
  // A byte in the quiet period that must follow the 0x03.
  if (model.misbehave.noiseInQuietPeriod) send(0x55, tUs + 100'000);
}

void Converter::Impl::hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) {
  catchUpScans(tUs);
  if (hostBaud == kSignOnBaud && byte == 0x00 && wakeUpAllowed(tUs)) {
    wakeUp(tUs);
    lastHostUs = tUs;
    return;
  }
  if (phase == Phase::Asleep) return;
  if (hostBaud != baud) return;  // at another rate the byte is only noise to the UART
  if (pktLen > 0 && tUs - lastHostUs > kPacketGapUs) pktLen = 0;
  lastHostUs = tUs;
  switch (phase) {
    case Phase::Idle:
      return;
    case Phase::WaitSleepByte:
    case Phase::WaitBaudIndex:
    case Phase::WaitWake:
      signOnByte(byte, tUs);
      return;
    default:
      pkt[pktLen++] = byte;
      if (pktLen == 3) packet(tUs);
  }
}

void Converter::Impl::signOnByte(uint8_t byte, int64_t tUs) {
  const Misbehaviour& mis = model.misbehave;
  if (phase == Phase::WaitSleepByte) {
    if (byte != 0x88) return;
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeSleepByte});
    out.resetChecksum();  // the host clears its sum just before this byte
    if (mis.answerSleepByte) send(0x88, tUs + kProcessingUs);
    phase = Phase::WaitBaudIndex;
  } else if (phase == Phase::WaitBaudIndex) {
    if (byte > 5) return;
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeBaudIndex});
    if (!mis.noBaudEcho) {
      send(mis.wrongBaudEcho ? uint8_t((byte + 1) % 6) : byte, tUs + kProcessingUs);
    }
    // The echo goes out at 300 baud; everything after it at the new rate.
    baudIndex = byte;
    baud = kBaudTable[byte];
    phase = Phase::WaitWake;
  } else {
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeNewRate});
    phase = Phase::Config;
    phasePackets = 0;
    phaseOk = true;
    pktLen = 0;
  }
}

void Converter::Impl::packet(int64_t tUs) {
  pktLen = 0;
  ReceivedPacket p{tUs, pkt[0], pkt[1], uint8_t(pkt[0] + pkt[1]) == pkt[2]};
  if (!p.checksumOk) p.detail = pkt[2];
  switch (phase) {
    case Phase::Config:
      configPacket(p, tUs);
      break;
    case Phase::Interval:
      intervalPacket(p);
      break;
    case Phase::ModePackets:
      modePacket(p, tUs);
      break;
    default:
      p.kind = PacketKind::Command;
      packets.push_back(p);
      log(p);
      if (p.checksumOk) command(p.command, p.data, tUs);  // a garbled packet is ignored
      return;
  }
  packets.push_back(p);
  log(p);
  if (p.kind == PacketKind::Interval && phase == Phase::Online) event(tUs, kEventSignedOn);
}

void Converter::Impl::configPacket(ReceivedPacket& p, int64_t tUs) {
  phaseOk = phaseOk && p.checksumOk;
  switch (phasePackets++) {
    case 0:
      p.kind = PacketKind::ModeWord;
      pendingMode.high = p.command;
      pendingMode.mid = p.data;
      return;
    case 1:
      p.kind = PacketKind::ModeWord;
      pendingMode.low = p.command;
      p.detail = pendingMode.packed();
      return;
    case 2:
      p.kind = PacketKind::Config;
      pendingAvg = p.command;
      pendingFilter = p.data;
      return;
    default:
      p.kind = PacketKind::Config;
      p.detail = 1;  // the closing packet
      phase = Phase::Interval;
      phasePackets = 0;
      // A configuration with a garbled packet is dropped: no echo, so the
      // host tries the sign-on again.
      if (!phaseOk) {
        phaseOk = true;
        return;
      }
      mode = pendingMode;
      remoteAvg = pendingAvg ? pendingAvg : 256;  // 256 arrives as its low byte
      filter = pendingFilter;
      modeEcho(tUs + kProcessingUs);
  }
}

void Converter::Impl::intervalPacket(ReceivedPacket& p) {
  p.kind = PacketKind::Interval;
  const int n = phasePackets++;
  if (p.checksumOk) {
    switch (n) {
      case 0:
        pendingInterval[0] = p.command;
        pendingInterval[1] = p.data;
        break;
      case 1:
        pendingInterval[2] = p.command;
        pendingTable[0] = p.data;
        break;
      default:
        pendingTable[2 * n - 3] = p.command;
        if (n < 4) pendingTable[2 * n - 2] = p.data;
    }
  }
  phaseOk = phaseOk && p.checksumOk;
  if (n < 4) return;
  intervalCount =
      uint32_t(pendingInterval[2]) << 16 | uint32_t(pendingInterval[1]) << 8 | pendingInterval[0];
  std::copy(pendingTable, pendingTable + 6, scanTable);
  p.detail = intervalCount | kLastIntervalPacket;
  phase = Phase::Online;
  if (phaseOk) ++signOns;
  phaseOk = true;
}

void Converter::Impl::modePacket(ReceivedPacket& p, int64_t tUs) {
  p.kind = PacketKind::ModeWord;
  phaseOk = phaseOk && p.checksumOk;
  if (phasePackets++ == 0) {
    pendingMode.high = p.command;
    pendingMode.mid = p.data;
    return;
  }
  pendingMode.low = p.command;
  p.detail = pendingMode.packed();
  phase = Phase::Online;
  if (!phaseOk) {  // a garbled mode word is not taken, nor echoed
    phaseOk = true;
    return;
  }
  mode = pendingMode;
  modeEcho(tUs + kProcessingUs);
}

}  // namespace k73
